import os

from hypothesis import HealthCheck, settings

# "ci" keeps property tests bounded for the CI run (and its sanitizer build);
# "dev" uses hypothesis' default example count.
settings.register_profile(
    "ci", max_examples=50, deadline=None, suppress_health_check=[HealthCheck.too_slow]
)
settings.register_profile("dev", deadline=None)
settings.load_profile("ci" if os.environ.get("CI") else "dev")


def pytest_configure(config):
    config.addinivalue_line("markers", "slow: long-running checks (deselect with -m 'not slow')")
