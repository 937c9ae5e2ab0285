import os

from hypothesis import HealthCheck, settings

# CI runs a fixed, moderate number of examples; HYPOTHESIS_PROFILE=thorough for more.
settings.register_profile("ci", max_examples=200, deadline=None, suppress_health_check=[HealthCheck.too_slow])
settings.register_profile("thorough", max_examples=5000, deadline=None)
settings.load_profile(os.environ.get("HYPOTHESIS_PROFILE", "ci"))
