"""The MCP server, driven by the SDK's own client over a real stdio subprocess."""

import asyncio
import os
import subprocess
import sys

import pytest

pytest.importorskip("mcp")

from mcp import ClientSession, StdioServerParameters, stdio_client  # noqa: E402

from kova_discovery import LocalNetwork  # noqa: E402
from kova_discovery._statefile import state_lock  # noqa: E402

CLI = [sys.executable, "-m", "kova_discovery"]


async def tools_answer(state, call):
    """The scenario, with ``call(tool, **arguments)`` returning (is_error, payload)."""
    assert await call("list_agents") == (False, {"agents": ["translator"], "count": 1})
    for tool, arguments in [
            ("discover_agents", {"query": 3}), ("discover_agents", {"query": "x", "limit": 0}),
            ("discover_agents", {"query": "x", "filters": {"region": 5}}),
            ("discover_agents", {"query": "x", "filters": {"n": {"$lt": 10**400}}}),
            ("discover_agents", {"query": "x", "filters": {"n": {"$gt": 0.5, "$lt": 1}}}),
            ("register_agent", {"name": "x", "capabilities": []}),
            ("register_agent", {"name": "x" * 257, "capabilities": ["y"]}), ("no_such_tool", {})]:
        assert (await call(tool, **arguments))[0], (tool, arguments)
    error, text = await call("record_outcome", agent="nobody", query="x", success=True)
    assert error and "unknown agent 'nobody'" in text
    error, found = await call("discover_agents", query="translate a contract",
                              filters={"region": "eu"})
    (agent,) = found["agents"]
    assert not error and (agent["name"], agent["endpoint"], agent["metadata"]) == (
        "translator", "mcp://t:1/mcp", {"region": "eu"}) and 0 < agent["similarity"] <= 1
    assert await call("register_agent", name="speaker", capabilities=["text to speech"],
                      metadata={"region": "us"}) == (False, {"name": "speaker", "replaced": False})
    assert not (await call("record_outcome", agent="speaker", query="read aloud",
                           success=True))[0]
    with state_lock(state, timeout=0):  # another writer holds the lock: bounded wait
        error, text = await call("register_agent", name="held", capabilities=["x"])
        assert error and "locked by another writer" in text
    # A writer beside the server: the server reads the file again before answering.
    subprocess.run([*CLI, "--state", str(state), "add", "transcriber", "speech to text"],
                   check=True, capture_output=True)
    return await call("list_agents")


def test_tools_answer_and_errors_leave_the_server_serving(tmp_path):
    state = tmp_path / "s.json"
    network = LocalNetwork()
    network.register("translator", ["translate documents"], endpoint="mcp://t:1/mcp",
                     metadata={"region": "eu"})
    network.save(str(state))
    # The whole environment, so that a server under test runs the same build as the test does
    # (the client would otherwise pass on only a few variables).
    params = StdioServerParameters(command=sys.executable, env=dict(os.environ), args=[
        *CLI[1:], "--state", str(state), "mcp", "--lock-timeout", "0.5"])

    async def main():
        with open(tmp_path / "server.err", "w") as errlog:
            async with stdio_client(params, errlog=errlog) as (read, write):
                async with ClientSession(read, write) as session:
                    await session.initialize()

                    async def call(tool, **arguments):
                        result = await session.call_tool(tool, arguments)
                        return result.is_error, (result.content[0].text if result.is_error
                                                 else result.structured_content)

                    return await tools_answer(state, call)

    names = asyncio.run(main())[1]["agents"]
    assert names == ["speaker", "transcriber", "translator"] == LocalNetwork.load(state).agents()


def test_writers_read_the_file_afresh_and_report_unusable_paths(tmp_path, monkeypatch):
    from mcp.server.mcpserver.exceptions import ToolError

    from kova_discovery import mcp_server

    # Where timestamps are coarse, another writer's save can leave the stamp as it was.
    monkeypatch.setattr(mcp_server, "_stamp", lambda path: (1, 1, 1) if path.exists() else None)
    path = tmp_path / "s.json"
    first, second = mcp_server.SharedState(path), mcp_server.SharedState(path)
    for writer, name in ((first, "a"), (second, "b"), (first, "c")):
        asyncio.run(writer.change(lambda network: network.register(name, ["cap"])))
    assert LocalNetwork.load(str(path)).agents() == ["a", "b", "c"]
    monkeypatch.undo()
    (tmp_path / "file").write_text("")
    inside_a_file = mcp_server.SharedState(tmp_path / "file" / "s.json")
    for attempt in (inside_a_file.current,
                    lambda: asyncio.run(inside_a_file.change(lambda network: None))):
        with pytest.raises(ToolError, match="state file"):
            attempt()
    # A query no file can hold is refused with its reason, as discover_agents refuses it.
    server = mcp_server.build_server(path)
    with pytest.raises(ToolError, match="cannot record the outcome: 'utf-8' codec"):
        asyncio.run(server.call_tool("record_outcome",
                                     {"agent": "a", "query": "\ud800", "success": True}))
