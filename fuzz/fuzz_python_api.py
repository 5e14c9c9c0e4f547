"""Coverage-guided fuzzing of the Python surface with atheris.

Each input is a program: a scorer choice, then a sequence of calls on one LocalNetwork with
fuzzed arguments (lone surrogates, NaN, huge and negative integers, wrong types). The host
scorer misbehaves on command: it raises, returns junk, or calls back into the network it
serves. Allowed outcomes are ordinary exceptions for bad arguments and the borrow
RuntimeErrors for re-entrant calls; anything else (an internal error, a crash, a registry
that disagrees with a plain model) is a finding.

    python fuzz/fuzz_python_api.py -max_total_time=30 fuzz/corpus/fuzz_python_api
"""

import math
import os
import sys
import tempfile

import atheris

from kova_discovery import (
    FilterValue,
    LocalNetwork,
    Query,
    TfIdfScorer,
    capabilities_from_a2a_rust,
)

ARGUMENT_ERRORS = (TypeError, ValueError, OverflowError, OSError, IndexError)
BORROW_ERRORS = {"Already borrowed", "Already mutably borrowed"}
TMP = tempfile.mkdtemp(prefix="kova_atheris_")
NAMES = ["alpha", "beta", "gamma", "", "\ud800", "a" * 300, "é" * 129]
FLOATS = [0.0, 0.5, 1.0, -1.0, math.nan, math.inf, -math.inf, 1e308, 5e-324, 2]


class Finding(AssertionError):
    pass


def text(fdp, limit=24):
    if fdp.ConsumeBool():
        return NAMES[fdp.ConsumeIntInRange(0, len(NAMES) - 1)]
    return fdp.ConsumeUnicodeNoSurrogates(limit) if fdp.ConsumeBool() else fdp.ConsumeUnicode(limit)


def plain(fdp):
    return fdp.ConsumeUnicodeNoSurrogates(12)


def anything(fdp):
    kind = fdp.ConsumeIntInRange(0, 9)
    if kind == 0:
        return None
    if kind == 1:
        return FLOATS[fdp.ConsumeIntInRange(0, len(FLOATS) - 1)]
    if kind == 2:
        return fdp.ConsumeInt(9) * (-1 if fdp.ConsumeBool() else 1)
    if kind == 3:
        return [text(fdp) for _ in range(fdp.ConsumeIntInRange(0, 3))]
    if kind == 4:
        return {text(fdp): text(fdp) for _ in range(fdp.ConsumeIntInRange(0, 2))}
    if kind == 5:
        return fdp.ConsumeBytes(4)
    if kind == 6:
        return Query.all(plain(fdp), plain(fdp)).exclude(plain(fdp))
    if kind == 7:
        return FilterValue.greater_than(FLOATS[fdp.ConsumeIntInRange(0, len(FLOATS) - 1)])
    if kind == 8:
        return object()
    return text(fdp)


class Scorer:
    """A host scorer whose behaviour the input chooses call by call."""

    def __init__(self, fdp):
        self.fdp = fdp
        self.net = None
        self.indexed = []
        self.findings = []

    def _misbehave(self):
        mode = self.fdp.ConsumeIntInRange(0, 5) if self.fdp.remaining_bytes() else 0
        if mode == 1:
            raise ValueError("scorer refuses")
        if mode == 2 and self.net is not None:
            for call in (self.net.agents, self.net.tick, lambda: self.net.discover("x")):
                try:
                    call()
                    self.findings.append("a scorer got into the network it serves")
                except RuntimeError as e:
                    if str(e) not in BORROW_ERRORS:
                        self.findings.append(f"unexpected re-entry error: {e!r}")
        return mode

    def index_capabilities(self, name, capabilities):
        self._misbehave()
        self.indexed.append(name)
        return "ignored"

    def remove_agent(self, name):
        self._misbehave()
        if name in self.indexed:
            self.indexed.remove(name)

    def score(self, query):
        mode = self._misbehave()
        if mode == 3:
            return [anything(self.fdp), (text(self.fdp), anything(self.fdp))]
        if mode == 4:
            return "not a list"
        if mode == 5:
            return (x for x in [("alpha", 0.5)])
        pairs = [(n, FLOATS[i % len(FLOATS)]) for i, n in enumerate(self.indexed)]
        pairs.append((text(self.fdp), 0.9))
        return pairs


def step(fdp, net, model, scorer):
    op = fdp.ConsumeIntInRange(0, 15)
    if op in (0, 1):
        name, caps = text(fdp), [text(fdp, 60) for _ in range(fdp.ConsumeIntInRange(0, 3))]
        metadata = {text(fdp): text(fdp)} if fdp.ConsumeBool() else None
        try:
            net.register(name, caps, metadata=metadata, invoke=anything(fdp))
        except ARGUMENT_ERRORS:
            return
        model.add(name)
    elif op == 2:
        name = text(fdp)
        try:
            removed = net.deregister(name)
        except ARGUMENT_ERRORS:
            return
        if removed != (name in model):
            raise Finding(f"deregister({name!r}) returned {removed}")
        model.discard(name)
    elif op in (3, 4, 5):
        query = anything(fdp) if fdp.ConsumeBool() else text(fdp, 60)
        filters = {text(fdp): anything(fdp)} if fdp.ConsumeBool() else None
        flags = {"explain": fdp.ConsumeBool(), "with_confidence": fdp.ConsumeBool()}
        try:
            out = net.discover(query, filters=filters, **flags)
        except ARGUMENT_ERRORS:
            return
        names = [r.agent_name for r in out]
        if not set(names) <= model or len(names) != len(set(names)):
            raise Finding(f"discover returned {names} for agents {sorted(model)}")
        repr(out)
        if flags["with_confidence"] and not flags["explain"] and len(out):
            out[fdp.ConsumeIntInRange(-len(out), len(out) - 1)]
            list(out)
    elif op == 6:
        try:
            net.discover_many([text(fdp) for _ in range(fdp.ConsumeIntInRange(0, 3))],
                              explain=fdp.ConsumeBool())
        except ARGUMENT_ERRORS:
            return
    elif op in (7, 8):
        f = net.record_success if op == 7 else net.record_failure
        try:
            f(text(fdp), query=anything(fdp) if fdp.ConsumeBool() else None)
        except ARGUMENT_ERRORS:
            return
    elif op == 9:
        net.tick()
    elif op == 10:
        try:
            net.enable_replay(anything(fdp))
        except ARGUMENT_ERRORS:
            return
        net.replay_events()
    elif op == 11:
        try:
            net.detect_drift(threshold=anything(fdp), min_samples=anything(fdp))
        except ARGUMENT_ERRORS:
            return
    elif op == 12:
        path = os.path.join(TMP, "state.json")
        try:
            net.save(path)
        except OSError:
            return  # names that are not valid UTF-8 are the only reason to fail here
        try:
            loaded = LocalNetwork.load(path)
        except ValueError as e:
            # A file saved with a host scorer names no scorer to rebuild: one is passed again.
            if scorer is None or "host scorer" not in str(e):
                raise Finding(f"load failed: {e!r}") from e
            loaded = LocalNetwork.load(path, scorer=TfIdfScorer())
        if loaded.agents() != net.agents():
            raise Finding("save and load lost agents")
    elif op == 13:
        try:
            capabilities_from_a2a_rust(
                {"name": anything(fdp), "skills": [{"name": anything(fdp), "tags": anything(fdp)}]}
            )
        except ARGUMENT_ERRORS:
            return
    elif op == 14:
        try:
            repr(Query.all(anything(fdp), Query.any(anything(fdp))).exclude(anything(fdp)))
            repr(Query.weighted({text(fdp): anything(fdp)}))
        except ARGUMENT_ERRORS:
            return
    else:
        net.replay_clear()
        _ = (net.agent_count, net.exploration_epsilon, net.replay_enabled, net.replay_event_count)


def test_one_input(data):
    fdp = atheris.FuzzedDataProvider(data)
    scorer = None
    kind = fdp.ConsumeIntInRange(0, 2)
    if kind == 0:
        net = LocalNetwork()
    elif kind == 1:
        net = LocalNetwork(scorer=TfIdfScorer())
    else:
        scorer = Scorer(fdp)
        net = LocalNetwork(scorer=scorer)
        scorer.net = net
    model = set()
    for _ in range(fdp.ConsumeIntInRange(0, 40)):
        try:
            step(fdp, net, model, scorer)
        except RuntimeError as e:
            # Outside a scorer nothing holds the network: a borrow error here is a leak.
            raise Finding(f"unexpected RuntimeError: {e!r}") from e
        if net.agents() != sorted(model, key=lambda s: s.encode()):
            raise Finding(f"registry {net.agents()} differs from model {sorted(model)}")
        if net.agent_count != len(model):
            raise Finding("agent_count disagrees with agents()")
        if scorer is not None and scorer.findings:
            raise Finding(scorer.findings[0])
    if scorer is not None:
        scorer.net = None  # break the cycle so the network goes now


def main():
    # The native module has no coverage feedback of its own here; the branches of this
    # harness and of the package's Python code steer the search.
    atheris.instrument_all()
    atheris.Setup(sys.argv, test_one_input)
    atheris.Fuzz()


if __name__ == "__main__":
    main()
