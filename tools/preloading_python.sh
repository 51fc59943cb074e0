#!/bin/bash
# Template for the interpreter of sanitized test runs (`make asan` installs it
# as <venv>/bin/python-asan with the two placeholders filled in).
#
# A sanitized extension module only works when the sanitizer runtime is the
# first library of the process. Tests start child interpreters through
# sys.executable, some with an environment of their own (the I/O fault tests
# set LD_PRELOAD to the fault shim alone), so the runtime is put back in front
# here, in every interpreter, rather than trusted to the inherited environment.
preload='@PRELOAD@'
case "${LD_PRELOAD:-}" in
  "$preload" | "$preload":*) ;;
  *) export LD_PRELOAD="$preload${LD_PRELOAD:+:$LD_PRELOAD}" ;;
esac
# argv[0] stays this file, so the child finds its venv and sys.executable
# points back here.
exec -a "$0" '@PYTHON@' "$@"
