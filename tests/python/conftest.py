import os

from hypothesis import HealthCheck, settings

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
