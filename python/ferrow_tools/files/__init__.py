"""A queue directory's files read on their own, without the `ferrow` module:
`queue.log` (`logfile`) and `.proc_lock` (`lock_file`)."""
