import json

import pytest

from kova_discovery import LocalNetwork


def test_routing_state_agrees_with_the_state_file(tmp_path):
    net = LocalNetwork()
    net.register("a", ["translate text"], endpoint="http://a")
    net.register("b", ["summarise text"])
    for _ in range(10):
        net.record_failure("b", query="summarise")
    net.record_success("a", query="translate")
    net.discover("translate text")
    net.save(tmp_path / "s.json")
    for agent in json.loads((tmp_path / "s.json").read_text())["agents"]:
        state = net.routing_state(agent["name"])
        assert list(state.values()) == [
            agent["diameter"], agent["tau"], agent["sigma"], agent["forwards_count"],
            agent["consecutive_pulse_timeouts"], "open" if agent["name"] == "b" else "closed",
            len(agent["feedback"]), agent["endpoint"]]
    with pytest.raises(KeyError, match="'nobody'"):
        net.routing_state("nobody")
