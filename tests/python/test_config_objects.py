"""DiscoveryConfig, TfIdfScorer, CircuitBreakerConfig and MycorrhizalPropagator."""

import math
import re

import pytest

from kova_discovery._native import (
    CircuitBreakerConfig,
    DiscoveryConfig,
    MycorrhizalPropagator,
    TfIdfScorer,
)

DEFAULTS = {
    "similarity_threshold": 0.1,
    "feedback_relevance_threshold": 0.3,
    "tie_epsilon": 1e-4,
    "tau_floor": 0.001,
    "max_feedback_records": 100,
    "diameter_initial": 0.5,
    "diameter_min": 0.01,
    "diameter_max": 2.0,
    "epsilon_initial": 0.8,
    "epsilon_floor": 0.05,
    "epsilon_decay_rate": 0.99,
    "max_disagreement_split": 3,
}


def invalid(message):
    return "^" + re.escape("Invalid configuration: Configuration error: " + message) + "$"


class TestDiscoveryConfig:
    def test_defaults_and_value_types(self):
        config = DiscoveryConfig()
        for name, value in DEFAULTS.items():
            got = getattr(config, name)
            assert got == value and type(got) is type(value), name
        assert repr(config) == (
            "DiscoveryConfig(similarity_threshold=0.1, feedback_relevance_threshold=0.3, "
            "tau_floor=0.001, diameter_initial=0.5)"
        )
        # Shortest plain decimals, never exponents.
        config = DiscoveryConfig(similarity_threshold=5.0, tau_floor=1e-7, diameter_initial=1.0)
        assert repr(config) == (
            "DiscoveryConfig(similarity_threshold=5, feedback_relevance_threshold=0.3, "
            "tau_floor=0.0000001, diameter_initial=1)"
        )

    def test_positional_and_keyword_arguments_land_in_order(self):
        values = [0.2, 0.4, 0.001, 0.01, 7, 0.6, 0.05, 1.5, 0.9, 0.1, 0.95, 9]
        config = DiscoveryConfig(*values)
        assert [getattr(config, n) for n in DEFAULTS] == values
        assert DiscoveryConfig(0.2).similarity_threshold == 0.2
        config = DiscoveryConfig(max_disagreement_split=0, tau_floor=5)
        assert config.max_disagreement_split == 0
        assert config.tau_floor == 5.0 and type(config.tau_floor) is float

    @pytest.mark.parametrize(
        "kwargs,message",
        [
            ({"tie_epsilon": 0}, "tie_epsilon must be > 0, got 0"),
            ({"diameter_min": 2.0}, "diameter_max (2) must be > diameter_min (2)"),
            ({"epsilon_floor": 0.0}, "epsilon_floor must be > 0"),
            ({"epsilon_initial": 0.04}, "epsilon_initial (0.04) must be >= epsilon_floor (0.05)"),
            ({"epsilon_decay_rate": 1.5}, "epsilon_decay_rate must be in (0, 1], got 1.5"),
            ({"diameter_initial": 3.0}, "diameter_initial (3) must be in [0.01, 2]"),
            # Several rules broken: the first in rule order is reported.
            ({"tau_floor": 0, "epsilon_floor": 0}, "epsilon_floor must be > 0"),
        ],
    )
    def test_validation_failures(self, kwargs, message):
        with pytest.raises(ValueError, match=invalid(message)):
            DiscoveryConfig(**kwargs)

    def test_values_without_rules_or_at_the_edges_pass(self):
        assert DiscoveryConfig(similarity_threshold=-1.0).similarity_threshold == -1.0
        assert DiscoveryConfig(epsilon_initial=0.05, epsilon_floor=0.05).epsilon_initial == 0.05
        assert DiscoveryConfig(diameter_initial=2.0).diameter_initial == 2.0
        assert math.isnan(DiscoveryConfig(tie_epsilon=float("nan")).tie_epsilon)



class TestSmallValueObjects:
    def test_circuit_breaker(self):
        assert repr(TfIdfScorer()) == "TfIdfScorer()"
        assert repr(CircuitBreakerConfig()) == "CircuitBreakerConfig(threshold=5, timeout=60s)"
        build = CircuitBreakerConfig.with_threshold_and_timeout
        assert repr(build(0, 0)) == "CircuitBreakerConfig(threshold=0, timeout=0s)"
        assert repr(build(failure_threshold=255, recovery_timeout_secs=2**64 - 1)) == (
            "CircuitBreakerConfig(threshold=255, timeout=18446744073709551615s)"
        )
        with pytest.raises(OverflowError, match="^argument 'failure_threshold': "):
            build(256, 1)
        with pytest.raises(OverflowError, match="^argument 'recovery_timeout_secs': "):
            build(1, -1)
        with pytest.raises(AttributeError):
            CircuitBreakerConfig().failure_threshold  # noqa: B018

    def test_propagator(self):
        assert repr(MycorrhizalPropagator()) == "MycorrhizalPropagator(attenuation=0.3, threshold=0.3)"
        custom = MycorrhizalPropagator.with_config(-1.0, 2.0)
        assert repr(custom) == "MycorrhizalPropagator(attenuation=-1, threshold=2)"
        assert repr(MycorrhizalPropagator.with_config(1, 0.125)) == (
            "MycorrhizalPropagator(attenuation=1, threshold=0.125)"
        )
        with pytest.raises(TypeError, match="missing 1 required positional argument"):
            MycorrhizalPropagator.with_config(0.1)
        with pytest.raises(AttributeError):
            custom.propagation_attenuation  # noqa: B018
