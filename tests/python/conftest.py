import os
import signal

from hypothesis import HealthCheck, settings

# The Ctrl-C tests need SIGINT to raise KeyboardInterrupt, which Python sets
# up only where the signal is not ignored at start; a background job of a
# non-interactive shell, or a run under nohup, starts with it ignored.
signal.signal(signal.SIGINT, signal.default_int_handler)

# Under the sanitizers every call is many times slower; fewer examples keep
# that run within minutes while the default run explores more.
settings.register_profile("default", max_examples=60, deadline=None)
settings.register_profile(
    "sanitize",
    max_examples=12,
    deadline=None,
    suppress_health_check=[HealthCheck.too_slow],
)
settings.load_profile("sanitize" if os.environ.get("NAVRO_SANITIZE") == "1" else "default")
