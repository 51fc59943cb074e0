"""`ferrow-admin serve`: a web dashboard and a Prometheus endpoint over the
queues of a base directory, one queue directory or a Redis server.

Reading never changes a queue: directories are read from their logs (no
process lock, no lease, no record written) and Redis queues through
read-only scripts; only the actions, enabled by a token, open a queue like a
client. The web libraries come with the `dashboard` extra
(`pip install 'ferrow[dashboard]'`).
"""
