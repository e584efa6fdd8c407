"""Settings shared by the property tests."""
import os

from hypothesis import HealthCheck, settings

# Property tests never fail on timing: the machine running them may be busy and
# the example cache cold. Example counts stay bounded so a run takes a known time.
settings.register_profile(
    "ci",
    deadline=None,
    suppress_health_check=[HealthCheck.too_slow],
    max_examples=100,
)
# For the runs that check another build (libc++, the sanitizers) rather than new inputs.
settings.register_profile("quick", parent=settings.get_profile("ci"), max_examples=20)
settings.load_profile(os.environ.get("HYPOTHESIS_PROFILE", "ci"))
