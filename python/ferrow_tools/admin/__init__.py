"""`ferrow-admin`: the command line that inspects and maintains queues.

`cli` parses the command line and dispatches; the `*_commands` modules hold
the commands, `common` what they share."""
