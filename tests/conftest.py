import os

import pytest
from hypothesis import HealthCheck, settings

# "ci" keeps property tests bounded for the CI run (and its sanitizer build);
# "dev" uses hypothesis' default example count.
settings.register_profile(
    "ci", max_examples=50, deadline=None, suppress_health_check=[HealthCheck.too_slow]
)
settings.register_profile("dev", deadline=None)
settings.load_profile("ci" if os.environ.get("CI") else "dev")


BUILD_HINT = (
    "norvane is not built: run `python3 -m venv .venv && . .venv/bin/activate && "
    "pip install \".[test]\"` (README.md, \"Set-up and tests\"), or build it with "
    "`cmake -S . -B build/dev -G Ninja && ninja -C build/dev` and run "
    "`PYTHONPATH=build/dev python -m pytest`"
)


def pytest_configure(config):
    config.addinivalue_line("markers", "slow: long-running checks (deselect with -m 'not slow')")
    # One line instead of a collection error per test file.
    try:
        import norvane  # noqa: F401
    except ImportError as exc:
        if isinstance(exc, ModuleNotFoundError) and exc.name == "norvane":
            pytest.exit(BUILD_HINT, returncode=pytest.ExitCode.USAGE_ERROR)
        pytest.exit(f"norvane does not load: {type(exc).__name__}: {exc}",
                    returncode=pytest.ExitCode.USAGE_ERROR)
