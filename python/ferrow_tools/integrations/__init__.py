"""Task frameworks on Ferrow queues: Celery through a kombu transport
(`kombu_transport`) and dramatiq through a broker (`dramatiq_broker`), with the
queue naming and lease holding they share."""
