"""Smoke test of an installed wheel, run from outside the source tree (make wheel-check):
registers, discovers, saves and loads through the installed package, and checks that the
package and the ICU and Snowball libraries it loads come from the wheel, not from the source
tree or the system's -dev packages, and that the licence notices came along."""

import os
import pathlib
import sys
import tempfile
from importlib import metadata

import kova_discovery
from kova_discovery import Bm25Scorer, LocalNetwork

site = pathlib.Path(kova_discovery.__file__).resolve().parent
assert pathlib.Path(sys.prefix) in site.parents, f"imported from {site}, not the venv"
network = LocalNetwork()
network.register("translator", ["translate documents between languages"])
network.register("Übersetzer", ["ÜBERSETZT Verträge"], metadata={"lang": "de"})
network.register("transcriber", ["transcribe audio to text"])
assert network.discover("übersetzt verträge")[0].agent_name == "Übersetzer"  # ICU lower-casing
words = LocalNetwork(scorer=Bm25Scorer())
words.register("runner", ["running shoes"])
assert words.discover("she runs every day")[0].agent_name == "runner"  # Snowball stemming
with tempfile.TemporaryDirectory() as tmp:
    network.save(path := os.path.join(tmp, "state.json"))
    restored = LocalNetwork.load(path)
assert restored.discover("transcribe audio", limit=1)[0].agent_name == "transcriber"
with open("/proc/self/maps", encoding="utf-8") as maps:
    libs = sorted({line.split()[-1] for line in maps if "libicu" in line or "libstemmer" in line})
assert any("libicu" in p for p in libs) and any("libstemmer" in p for p in libs), libs
assert all(path.startswith(str(site.parent)) for path in libs), libs
# The project's licence, and the notices of the libraries the wheel bundles.
notices = {f.name for f in metadata.files("kova_discovery") if "licenses" in f.parts}
assert {"LICENSE", "ICU-copyright", "Snowball-copyright"} <= notices, notices
print("wheel smoke test passed:", site, *libs)
