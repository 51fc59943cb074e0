"""A short tour: producers enqueue, a consumer leases, a lease lapses and the
message comes back with its delivery counted, then everything is acknowledged."""
import ferrow

q = ferrow.FerrowCore(":memory:")
ids = q.enqueue_batch([b"resize photo 1", b"resize photo 2", b"send mail"])
print(f"enqueued ids {ids}")

seq, body, deliveries, _ = q.dequeue(lease_ms=0)
print(f"worker A leased #{seq} {body!r} (delivery {deliveries}) and vanished; its lease lapses at once")

seq, body, deliveries, _ = q.dequeue()
print(f"worker B got #{seq} {body!r} again, delivery {deliveries}")
q.ack(seq)

for seq, body, deliveries, _ in q.dequeue_batch(10):
    print(f"worker B got #{seq} {body!r} (delivery {deliveries})")
    q.ack(seq)

s = q.stats()
print(f"done: {s['acked_total']} acknowledged, {s['requeued_total']} redelivered, {s['total']} left")
