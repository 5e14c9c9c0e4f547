import json

import pytest

from kova_discovery import LocalNetwork


def test_routing_state_agrees_with_the_state_file_and_follows_feedback(tmp_path):
    net = LocalNetwork()
    net.register("a", ["translate text"], endpoint="http://a")
    net.register("b", ["summarise text"])
    for _ in range(10):
        net.record_failure("b", query="summarise")
    net.record_success("a", query="translate")
    net.discover("translate text")
    net.save(tmp_path / "s.json")
    saved = {a["name"]: a for a in json.loads((tmp_path / "s.json").read_text())["agents"]}
    for name, agent in saved.items():
        state = net.routing_state(name)
        assert state == LocalNetwork.load(tmp_path / "s.json").routing_state(name) | {
            "circuit": state["circuit"]}
        assert [state[k] for k in ("diameter", "tau", "sigma", "forwards", "consecutive_failures",
                                   "feedback", "endpoint")] == [
            agent["diameter"], agent["tau"], agent["sigma"], agent["forwards_count"],
            agent["consecutive_pulse_timeouts"], len(agent["feedback"]), agent["endpoint"]]
    assert [net.routing_state(n)["circuit"] for n in "ab"] == ["closed", "open"]
    with pytest.raises(KeyError, match="'nobody'"):
        net.routing_state("nobody")
