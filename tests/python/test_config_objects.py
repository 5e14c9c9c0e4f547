"""DiscoveryConfig, TfIdfScorer, CircuitBreakerConfig and MycorrhizalPropagator."""

import math
import re

import pytest

from kova_discovery._native import (
    CircuitBreakerConfig, DiscoveryConfig, MycorrhizalPropagator, TfIdfScorer)

DEFAULTS = {
    "similarity_threshold": 0.1, "feedback_relevance_threshold": 0.3, "tie_epsilon": 1e-4,
    "tau_floor": 0.001, "max_feedback_records": 100, "diameter_initial": 0.5,
    "diameter_min": 0.01, "diameter_max": 2.0, "epsilon_initial": 0.8, "epsilon_floor": 0.05,
    "epsilon_decay_rate": 0.99, "max_disagreement_split": 3,
}


def test_discovery_config_values_land_in_order_with_their_types_and_rules_apply():
    config = DiscoveryConfig()
    assert {n: getattr(config, n) for n in DEFAULTS} == DEFAULTS
    assert [type(getattr(config, n)) for n in DEFAULTS] == [type(v) for v in DEFAULTS.values()]
    values = [0.2, 0.4, 0.001, 0.01, 7, 0.6, 0.05, 1.5, 0.9, 0.1, 0.95, 9]
    assert [getattr(DiscoveryConfig(*values), n) for n in DEFAULTS] == values
    config = DiscoveryConfig(max_disagreement_split=0, tau_floor=5)
    assert config.max_disagreement_split == 0 and type(config.tau_floor) is float
    assert repr(DiscoveryConfig(similarity_threshold=5.0, tau_floor=1e-7)) == (
        "DiscoveryConfig(similarity_threshold=5, feedback_relevance_threshold=0.3, "
        "tau_floor=0.0000001, diameter_initial=0.5)")
    assert math.isnan(DiscoveryConfig(tie_epsilon=float("nan")).tie_epsilon)  # no rule for NaN
    # Several rules broken: the first in rule order is reported.
    with pytest.raises(ValueError, match="^" + re.escape(
            "Invalid configuration: Configuration error: epsilon_floor must be > 0") + "$"):
        DiscoveryConfig(tau_floor=0, epsilon_floor=0)


def test_small_value_objects():
    build = CircuitBreakerConfig.with_threshold_and_timeout
    assert [repr(o) for o in (TfIdfScorer(), CircuitBreakerConfig(),
                              build(failure_threshold=255, recovery_timeout_secs=2**64 - 1),
                              MycorrhizalPropagator(), MycorrhizalPropagator.with_config(-1.0, 2.0))
            ] == ["TfIdfScorer()", "CircuitBreakerConfig(threshold=5, timeout=60s)",
                  "CircuitBreakerConfig(threshold=255, timeout=18446744073709551615s)",
                  "MycorrhizalPropagator(attenuation=0.3, threshold=0.3)",
                  "MycorrhizalPropagator(attenuation=-1, threshold=2)"]
    with pytest.raises(OverflowError, match="^argument 'failure_threshold': "):
        build(256, 1)
    with pytest.raises(OverflowError, match="^argument 'recovery_timeout_secs': "):
        build(1, -1)
    with pytest.raises(TypeError, match="missing 1 required positional argument"):
        MycorrhizalPropagator.with_config(0.1)
