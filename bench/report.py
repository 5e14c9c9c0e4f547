"""Markdown report and latency chart from one benchmark run."""

from __future__ import annotations

import pathlib
from collections.abc import Sequence
from dataclasses import dataclass

import quality
import speed
import timing


@dataclass
class Run:
    environment: dict[str, str]
    settings: speed.Settings
    sizes: list[speed.SizeResult]
    memory: list[speed.MemoryResult]
    quality: quality.Results | None
    quality_note: str | None
    noise: timing.Summary | None
    load_before: tuple[float, float, float]
    load_after: tuple[float, float, float]
    cxx: list[tuple[str, str]]
    elapsed: float


def _us(seconds: float) -> str:
    us = seconds * 1e6
    if us >= 10_000:
        return f"{us / 1000:,.1f} ms"
    return f"{us:,.1f} µs" if us < 1000 else f"{us:,.0f} µs"


def _size(n: int) -> str:
    return f"{n:,}"


def _bytes(b: float) -> str:
    if b >= 1 << 20:
        return f"{b / (1 << 20):,.1f} MiB"
    if b >= 1 << 10:
        return f"{b / (1 << 10):,.1f} KiB"
    return f"{b:,.0f} B"


def _runs(count: int, what: str) -> str:
    return f"medians of {count} {what}" if count > 1 else f"single {what}"


def _table(header: Sequence[str], rows: Sequence[Sequence[str]]) -> list[str]:
    out = ["| " + " | ".join(header) + " |", "|" + "|".join("---" for _ in header) + "|"]
    out += ["| " + " | ".join(r) + " |" for r in rows]
    return out


def _labels(run: Run) -> list[str]:
    seen: dict[str, None] = {}
    for s in run.sizes:
        for label in s.latency:
            seen.setdefault(label, None)
    return list(seen)


def _is_engine(label: str) -> bool:
    return label.startswith(("discover", "kova"))


def speed_section(run: Run) -> list[str]:
    sizes = run.sizes
    out = ["## Speed", "",
           "Per-query latency: CPU time per query, median of "
           f"{run.settings.repeats} passes over the same query batch (spread of the passes, "
           "(max − min) / median, in brackets). Every system ranks the whole registry for "
           "each query and returns its ranked list; the engine rows include building the "
           "Python result objects.", ""]
    header = ["System"] + [f"{_size(s.agents)} agents" for s in sizes]
    rows = []
    for label in _labels(run):
        cells = [f"**{label}**" if _is_engine(label) else label]
        for s in sizes:
            t = s.latency.get(label)
            cells.append("—" if t is None else f"{_us(t.cpu)} (±{t.spread * 100:.0f}%)")
        rows.append(cells)
    out += _table(header, rows)
    out += ["", "Wall-clock medians of the same passes, and the mean number of results per "
            "query (first 20 queries):", ""]
    rows = []
    for label in _labels(run):
        cells = [label]
        for s in sizes:
            t = s.latency.get(label)
            cells.append("—" if t is None else
                         f"{_us(t.wall)} / {s.results_per_query.get(label, 0):,.1f}")
        rows.append(cells)
    out += _table(["System"] + [f"{_size(s.agents)}: wall / results" for s in sizes], rows)
    out += ["", "Queries per timed pass × passes, by size: "
            + "; ".join(f"{label}: " + ", ".join(
                f"{s.latency[label].units}×{s.latency[label].samples}"
                for s in sizes if label in s.latency) for label in _labels(run)) + ".", ""]
    out += trailing_section(run)
    return out


def trailing_section(run: Run) -> list[str]:
    out = ["### Engine against each peer", "",
           "Profiles of the slower cases, and what they point at, are in `bench/README.md`.", ""]
    for s in run.sizes:
        engine = {k: v for k, v in s.latency.items() if _is_engine(k)}
        others = {k: v for k, v in s.latency.items() if not _is_engine(k)}
        if not engine or not others:
            continue
        default = next((k for k in engine if k.startswith("discover, MinHash")), None)
        best_label = min(engine, key=lambda k: engine[k].cpu)
        fastest_peer = min(others, key=lambda k: others[k].cpu)
        line = (f"- {_size(s.agents)} agents: fastest engine path {best_label} "
                f"{_us(engine[best_label].cpu)}; fastest peer {fastest_peer} "
                f"{_us(others[fastest_peer].cpu)}")
        if default:
            behind = [k for k in others if others[k].cpu < engine[default].cpu]
            if behind:
                line += ("; default `discover` trails " + ", ".join(
                    f"{k} ({engine[default].cpu / others[k].cpu:.1f}×)" for k in behind))
            else:
                ahead = engine[default].cpu and others[fastest_peer].cpu / engine[default].cpu
                line += f"; default `discover` leads every peer ({ahead:.1f}× the fastest)"
        out.append(line + ".")
    return out + [""]


def build_section(run: Run) -> list[str]:
    out = ["## Registration and index build", "",
           "Time to register (engine) or index (peers) the whole registry, per agent and as "
           f"agents per second; engine figures are {_runs(run.settings.build_repeats, 'builds')}, "
           "peers are built once. Each agent has one capability text. The LSH index reuses "
           "the linear scan's sketches, so its row is the insertion into the index alone.", ""]
    labels: dict[str, None] = {}
    for s in run.sizes:
        for label in s.build:
            labels.setdefault(label, None)
    rows = []
    for label in labels:
        cells = [label]
        for s in run.sizes:
            t = s.build.get(label)
            cells.append("—" if t is None else
                         f"{_us(t.cpu)}/agent, {1 / t.cpu if t.cpu else 0:,.0f}/s")
        rows.append(cells)
    return out + _table(["System"] + [f"{_size(s.agents)} agents" for s in run.sizes], rows) + [""]


def memory_section(run: Run) -> list[str]:
    out = ["## Memory and state file", "",
           "Resident-size growth of a fresh interpreter while registering (default scorer), "
           "and further growth once every agent holds a full feedback memory of 100 records "
           "(distinct real queries). \"Strings\" is the agents' own name and capability "
           "bytes, which the engine necessarily copies.", ""]
    rows = []
    for m in run.memory:
        beyond = m.bytes_per_agent - m.string_bytes_per_agent
        rows.append([_size(m.agents), _bytes(m.bytes_per_agent), _bytes(m.string_bytes_per_agent),
                     _bytes(beyond),
                     "—" if m.feedback_bytes_per_agent is None else
                     f"{_bytes(m.feedback_bytes_per_agent)} ({m.feedback} records)"])
    out += _table(["Agents", "Per agent", "of which strings", "Beyond strings",
                   "Feedback memory per agent"], rows)
    out += ["", "`save` and `load` (default scorer; `load` re-indexes every capability). "
            f"Without feedback: {_runs(run.settings.build_repeats, 'runs')}; the feedback "
            "rows are single runs in the memory probe.", ""]
    rows = []
    for s in run.sizes:
        if s.save and s.load:
            rows.append([_size(s.agents), "none", _us(s.save.cpu), _us(s.save.wall),
                         _us(s.load.cpu), _us(s.load.wall), _bytes(s.file_bytes)])
    for m in run.memory:
        if m.save_cpu is not None and m.save_wall is not None and m.load_cpu is not None \
                and m.load_wall is not None:
            rows.append([_size(m.agents), f"{m.feedback} records per agent", _us(m.save_cpu),
                         _us(m.save_wall), _us(m.load_cpu), _us(m.load_wall),
                         _bytes(m.file_bytes or 0)])
    out += _table(["Agents", "Feedback", "save CPU", "save wall", "load CPU", "load wall",
                   "File size"], rows)
    return out + [""]


def _r(sc: quality.Scores) -> list[str]:
    return [f"{sc.recall1:.3f}", f"{sc.recall5:.3f}", f"{sc.hit1:.3f}", f"{sc.hit5:.3f}",
            f"{sc.mrr:.3f}"]


def _spread(row: quality.FoldRow, metric: str) -> str:
    if all(fold.queries <= 1 for fold in row.per_fold):
        return "—"  # one query a fold: each is 0 or 1
    values = [getattr(fold, metric) for fold in row.per_fold]
    return f"{min(values):.3f}–{max(values):.3f}"


def quality_section(run: Run, curve_name: str = "learning.png") -> list[str]:
    out = ["## Retrieval quality", ""]
    res = run.quality
    if res is None:
        return out + [run.quality_note or "Not measured.", ""]
    out += [
        f"Labelled tool-selection data: {res.queries:,} queries over its tool set (each query "
        "names its correct tools). Recall@k (R@k) is the share of a query's correct tools among "
        "the first k results; Hit@k (H@k) counts a query when a correct tool is among them "
        "(they differ on the queries naming several tools, whose R@1 is at most one over their "
        "number); MRR uses the first correct tool's rank. Every figure is measured on "
        f"queries the network was never taught: {res.folds} folds (fixed seed); each fold's "
        "queries are asked of a fresh network taught with every other fold's queries, "
        "reported as users report them: `record_success(correct tool, query=q)`. \"after "
        "feedback\" is the default learning; \"query memory\" the same reports with "
        f"`query_memory={quality.MEMORY}`. Pooled over all held-out queries; the last column "
        "is the range of the per-fold R@1. Engine rows use the default similarity threshold "
        "0.1; the peers rank every agent. Every network ranks with exploration at its floor "
        "(0.05), where its first 276 feedback events bring it.", ""]
    if run.quality_note:
        out += [run.quality_note, ""]
    out += res.notes + ([""] if res.notes else [])
    rows = [[r.system, r.condition] + _r(r.pooled) + [_spread(r, "recall1")] for r in res.rows]
    out += _table(["System", "Feedback", "R@1", "R@5", "H@1", "H@5", "MRR", "R@1 by fold"],
                  rows) + [""]
    if res.target_rows:
        out += [
            "### The targets' protocol", "",
            "The ranking targets were set by teaching every development query and asking "
            "other queries, a query counting when a right tool comes first. The nearest copy "
            f"that keeps every asked query unseen: {res.target_folds} folds, so that each "
            "network is taught with all but one fold, and Hit@k; the last column is the range "
            "of the per-fold H@1. The lexical hybrid is measured beside the scorers the "
            "targets name. Two rows reproduce "
            "the reference those targets were measured against (BM25 with English stop words "
            "and Snowball stems over descriptions, then over descriptions followed by each "
            "tool's training queries), so that this data's offset from the targets' own shows; "
            "the last row is a supervised linear classifier taught the same queries, a gauge "
            "of how far lexical learning gets on this data. "
            "The leave-one-out rows before them teach each network every development query but "
            "the one it is asked, the targets' own ratio: folds teach less, and understate.",
            ""]
        rows = [[r.system, r.condition] + _r(r.pooled) + [_spread(r, "hit1")]
                for r in res.target_rows]
        out += _table(["System", "Feedback", "R@1", "R@5", "H@1", "H@5", "MRR", "H@1 by fold"],
                      rows)
        out += [""]
    if res.mixed:
        out += [
            "### A larger registry, feedback for some tools only", "",
            f"The tool set registered among {res.mixed_agents:,} agents (the rest real tool "
            f"descriptions from the corpus); only {res.mixed_history} of the labelled tools "
            "(seeded) get feedback from the training folds. Held-out R@1 for queries whose "
            "correct tools never had feedback (they must not be pushed down by the others' "
            "history) and for queries whose tools had some.", ""]
        base = {r.system: r.without_history.recall1 for r in res.mixed
                if r.condition == "no feedback"}
        rows = []
        for r in res.mixed:
            delta = r.without_history.recall1 - base.get(r.system, r.without_history.recall1)
            rows.append([r.system, r.condition, f"{r.without_history.recall1:.3f}",
                         "" if r.condition == "no feedback" else f"{delta:+.3f}",
                         f"{r.with_history.recall1:.3f}"])
        n_lone = res.mixed[0].without_history.queries
        n_taught = res.mixed[0].with_history.queries
        out += _table(["System", "Feedback", f"R@1 without history ({n_lone})",
                       "change", f"R@1 with history ({n_taught})"], rows) + [""]
        # Repeated runs of one row move by about 0.002 (ties are drawn at random).
        lowered = [f"{r.system}, {r.condition} ({delta:+.3f})" for r in res.mixed
                   if r.condition != "no feedback"
                   and (delta := r.without_history.recall1 - base.get(r.system, 0.0)) < -0.005]
        out += ["Configurations whose feedback pushes the tools without history down here by "
                "more than run-to-run noise (0.005): "
                + ("; ".join(lowered) if lowered else "none") + ".", ""]
    if res.curves:
        out += ["### Learning curve", "",
                f"![Held-out R@1 against the number of feedback events]({curve_name})", "",
                "Held-out R@1 (mean over the folds) after the first n feedback events of the "
                "training folds, in a seeded order:", ""]
        marks = sorted({m for c in res.curves for m, _ in c.points})
        rows = []
        for c in res.curves:
            got = dict(c.points)
            rows.append([c.label] + [f"{got[m]:.3f}" if m in got else "—" for m in marks])
        out += _table(["Configuration"] + [f"{m:,.0f}" for m in marks], rows) + [""]
    return out


def noise_section(run: Run) -> list[str]:
    out = ["## Machine and noise", ""]
    for k, v in run.environment.items():
        out.append(f"- {k}: {v}")
    out.append(f"- load average (1, 5, 15 min) at start {run.load_before[0]:.2f}, "
               f"{run.load_before[1]:.2f}, {run.load_before[2]:.2f}; at end "
               f"{run.load_after[0]:.2f}, {run.load_after[1]:.2f}, {run.load_after[2]:.2f}")
    if run.noise:
        out.append(f"- calibration loop ({run.noise.samples} runs of the same pure-Python "
                   f"work): CPU median {_us(run.noise.cpu)}, spread ±{run.noise.spread * 100:.0f}%"
                   f"; wall median {_us(run.noise.wall)} (wall / CPU "
                   f"{run.noise.wall / run.noise.cpu if run.noise.cpu else 0:.2f})")
    spreads = sorted(t.spread for s in run.sizes for t in s.latency.values())
    if spreads:
        out.append(f"- spread of the latency rows: median ±{spreads[len(spreads) // 2] * 100:.0f}"
                   f"%, largest ±{spreads[-1] * 100:.0f}%")
    out.append(f"- whole run: {run.elapsed:,.0f} s")
    return out + [""]


def cxx_section(run: Run) -> list[str]:
    if not run.cxx:
        return []
    out = ["## Engine benchmarks (C++, no Python)", "",
           "Output of the stand-alone benchmark programs, as printed.", ""]
    for name, text in run.cxx:
        out += [f"### {name}", "", "```", text.rstrip(), "```", ""]
    return out


def write(run: Run, out_dir: pathlib.Path, chart_name: str = "latency.png") -> pathlib.Path:
    out_dir.mkdir(parents=True, exist_ok=True)
    chart(run, out_dir / chart_name)
    if run.quality is not None and run.quality.curves:
        curve_chart(run.quality.curves, out_dir / "learning.png")
    lines = ["# kova_discovery against its peers", "",
             "Generated by `bench/run.py` (`make bench`); do not edit by hand.", "",
             f"![Per-query latency against the number of agents]({chart_name})", ""]
    lines += speed_section(run)
    lines += build_section(run)
    lines += memory_section(run)
    lines += quality_section(run)
    lines += noise_section(run)
    lines += cxx_section(run)
    path = out_dir / "report.md"
    path.write_text("\n".join(lines), encoding="utf-8")
    return path


def chart(run: Run, path: pathlib.Path) -> None:
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    fig, ax = plt.subplots(figsize=(8, 5), dpi=120)
    for label in _labels(run):
        points = [(s.agents, s.latency[label].cpu * 1e6) for s in run.sizes if label in s.latency]
        if not points:
            continue
        xs, ys = zip(*points)
        ax.plot(xs, ys, marker="o", linewidth=2.2 if _is_engine(label) else 1.2,
                linestyle="-" if _is_engine(label) else "--", label=label)
    ax.set_xscale("log")
    ax.set_yscale("log")
    ax.set_xlabel("agents in the registry")
    ax.set_ylabel("CPU time per query (µs, median)")
    ax.set_title("Per-query latency against the number of agents")
    ax.grid(True, which="both", alpha=0.3)
    ax.legend(fontsize=7, loc="upper left")
    fig.tight_layout()
    fig.savefig(path)
    plt.close(fig)


def curve_chart(curves: Sequence[quality.Curve], path: pathlib.Path) -> None:
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    fig, ax = plt.subplots(figsize=(8, 5), dpi=120)
    for curve in curves:
        xs, ys = zip(*curve.points)
        ax.plot(xs, ys, marker="o", label=curve.label)
    ax.set_xscale("symlog", linthresh=25)
    ax.set_xlabel("feedback events reported (record_success with the query)")
    ax.set_ylabel("R@1 on held-out queries (mean over folds)")
    ax.set_ylim(0, 1)
    ax.set_title("Learning from feedback: ranking of queries never reported")
    ax.grid(True, which="both", alpha=0.3)
    ax.legend(fontsize=8, loc="upper left")
    fig.tight_layout()
    fig.savefig(path)
    plt.close(fig)
