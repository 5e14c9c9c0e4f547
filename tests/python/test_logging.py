"""Engine log records in Python's logging: one logger per engine target, levels, fields,
records only when something would handle them, and handlers that run after the call."""

import logging
import sys

import pytest

from conftest import TableScorer
from kova_discovery import LocalNetwork


class FailingScorer(TableScorer):
    def index_capabilities(self, name, capabilities):
        raise RuntimeError(f"cannot index {name}")

    def score(self, query):
        raise ValueError(f"no score for {query!r}")


EVENTS = {
    "host scorer score raises": (
        lambda net: net.discover("legal"), [], "kova_discovery.network.pipeline", logging.ERROR,
        "Scorer failed during query evaluation: scorer.score() failed: "
        "ValueError: no score for 'legal'",
        {"error": "scorer.score() failed: ValueError: no score for 'legal'"}),
    "index_capabilities raises": (
        lambda net: net.register("b", ["cap"]), None, "kova_discovery.pybridge", logging.WARNING,
        "Python scorer index_capabilities() failed: RuntimeError: cannot index b (agent_id=b)",
        {"agent_id": "b", "error": "RuntimeError: cannot index b"}),
    "feedback for an unknown agent": (
        lambda net: net.record_success("nope"), None, "kova_discovery.network", logging.WARNING,
        "Feedback names an unknown agent (agent_name=nope, operation=record_success)",
        {"agent_name": "nope", "operation": "record_success"}),
}


@pytest.mark.parametrize("action, result, logger, level, message, fields", EVENTS.values(),
                         ids=EVENTS.keys())
def test_engine_events_reach_logging(caplog, action, result, logger, level, message, fields):
    net = LocalNetwork(scorer=FailingScorer({}))
    net.register("a", ["cap"])
    caplog.set_level(logging.WARNING, logger="kova_discovery")
    assert action(net) == result  # nothing raises and results stay as they were
    [record] = caplog.records
    assert (record.name, record.levelno, record.getMessage()) == (logger, level, message)
    assert record.kova_fields == fields
    assert record.filename == "test_logging.py"  # the caller's line, not the module's


@pytest.fixture
def package_logger():
    """The package logger at DEBUG with only its own NullHandler in reach."""
    logger = logging.getLogger("kova_discovery")
    own = list(logger.handlers)
    logger.propagate = False
    logger.setLevel(logging.DEBUG)  # a level change: the next call looks at everything again
    yield logger
    logging.disable(logging.NOTSET)
    for handler in set(logger.handlers) - set(own):
        logger.removeHandler(handler)
    logger.propagate = True
    logger.setLevel(logging.NOTSET)


def test_no_logging_call_unless_a_handler_takes_the_level(monkeypatch, package_logger):
    calls = []
    real_log = logging.Logger.log
    monkeypatch.setattr(logging.Logger, "log",
                        lambda self, *a, **k: calls.append(self.name) or real_log(self, *a, **k))
    net = LocalNetwork()
    handler = type("Quiet", (logging.Handler,), {"emit": lambda self, record: None})(30)
    # Handlers added and removed are seen without a level change; logging.disable is a level.
    for change, expected in [(None, 0), (package_logger.addHandler, 1),
                             (package_logger.removeHandler, 1),
                             (lambda h: (package_logger.addHandler(h), logging.disable()), 1)]:
        if change:
            change(handler)
        net.register(f"agent{len(calls)}", ["x"])  # a DEBUG record: no handler below WARNING
        net.record_success("nope")
        assert len(calls) == expected


def test_handlers_run_after_the_call_and_may_fail(monkeypatch, package_logger):
    net, hooked = LocalNetwork(), []

    def emit(record):  # the network is no longer borrowed
        net.register("late", ["x"])
        raise RuntimeError("handler broke")

    monkeypatch.setattr(sys, "unraisablehook", hooked.append)
    package_logger.addHandler(type("Reentrant", (logging.Handler,), {
        "emit": lambda self, record: emit(record)})(logging.WARNING))
    assert net.record_success("nope") is None and net.agents() == ["late"]
    assert [str(h.exc_value) for h in hooked] == ["handler broke"]
