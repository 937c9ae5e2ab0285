import os
import pathlib
import signal
import sys

from hypothesis import HealthCheck, settings

# The benchmarks' name generators make realistic workloads for a few tests;
# the plain references are in reference/, beside the tests.
sys.path.append(str(pathlib.Path(__file__).resolve().parent.parent / "bench"))

# CI runs a fixed, moderate number of examples; HYPOTHESIS_PROFILE=thorough for more.
settings.register_profile("ci", max_examples=200, deadline=None, suppress_health_check=[HealthCheck.too_slow])
settings.register_profile("thorough", max_examples=5000, deadline=None)
settings.load_profile(os.environ.get("HYPOTHESIS_PROFILE", "ci"))

# Several tests send SIGINT to child processes. A suite started in the
# background by a non-interactive shell (`make ci &`) inherits SIGINT ignored,
# and so would every child; handled here, children start with the default.
if signal.getsignal(signal.SIGINT) is signal.SIG_IGN:
    signal.signal(signal.SIGINT, signal.default_int_handler)
