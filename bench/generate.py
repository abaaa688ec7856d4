"""Realistic pipeline notebooks and base/current/incoming triples, from a fixed seed."""
import base64
import copy
import random
import uuid

WORDS = ("data", "frame", "model", "train", "score", "value", "result", "load", "clean", "plot",
         "feature", "column", "index", "batch", "epoch", "metric", "weight", "layer", "param")


def _line(rng):
    a, b, c = rng.choice(WORDS), rng.choice(WORDS), rng.choice(WORDS)
    return f"{a}_{b} = {c}.{rng.choice(WORDS)}({rng.randint(0, 999)}, '{rng.choice(WORDS)}')\n"


def _source(rng, lines):
    return [_line(rng) for _ in range(lines)]


def _outputs(rng, stream_lines, with_image):
    outputs = []
    if stream_lines:
        outputs.append({"name": "stdout", "output_type": "stream",
                        "text": [f"step {i}: loss={rng.random():.6f}\n" for i in range(stream_lines)]})
    if with_image:
        png = base64.b64encode(rng.randbytes(6000)).decode()
        outputs.append({"data": {"image/png": png, "text/plain": ["<Figure size 640x480>"]},
                        "metadata": {}, "output_type": "display_data"})
    return outputs


def notebook(n_cells, seed=0, source_lines=(5, 60), long_sources=0.02, long_outputs=0.02, images=0.05):
    """A pipeline notebook of `n_cells` code cells with canvas metadata."""
    rng = random.Random(seed)
    cells = []
    ids = []
    for i in range(n_cells):
        cid = str(uuid.UUID(int=rng.getrandbits(128)))
        lines = rng.randint(*source_lines)
        if rng.random() < long_sources:
            lines = rng.randint(500, 2000)
        stream = rng.randint(1000, 5000) if rng.random() < long_outputs else rng.randint(0, 20)
        parents = [{"id": p, "name": f"step_{ids.index(p)}"} for p in rng.sample(ids, min(len(ids), rng.randint(0, 2)))]
        cells.append({
            "cell_type": "code",
            "execution_count": i + 1,
            "id": cid[:8] + f"-{i}",
            "metadata": {"canvas": {"id": cid, "name": f"step_{i}", "parents": parents,
                                    "comments": [{"text": "check this", "author": "a"}] if rng.random() < 0.1 else [],
                                    "headerColor": rng.choice(["none", "red", "blue"])}},
            "outputs": _outputs(rng, stream, rng.random() < images),
            "source": _source(rng, lines),
        })
        ids.append(cid)
    parameters = [{"name": f"param_{k}", "type": "str", "value": str(rng.randint(0, 100))} for k in range(20)]
    return {
        "cells": cells,
        "metadata": {"canvas": {"parameters": parameters, "version": "2"},
                     "kernelspec": {"display_name": "Python 3", "language": "python", "name": "python3"},
                     "language_info": {"name": "python", "version": "3.11"}},
        "nbformat": 4,
        "nbformat_minor": 5,
    }


def triple(n_cells, seed=0, one_side=0.05, both_sides=0.0, conflicts=0.0, **kw):
    """(base, current, incoming): some cells changed on one side, some on both
    in distant lines (a clean source merge), some on the same line (a conflict)."""
    rng = random.Random(seed + 1)
    base = notebook(n_cells, seed, **kw)
    current = copy.deepcopy(base)
    incoming = copy.deepcopy(base)
    for i in range(n_cells):
        r = rng.random()
        cur, inc = current["cells"][i], incoming["cells"][i]
        n = len(cur["source"])
        if r < one_side:
            side = cur if rng.random() < 0.5 else inc
            side["source"][rng.randrange(n)] = _line(rng)
        elif r < one_side + both_sides and n >= 6:
            cur["source"][0] = _line(rng)
            inc["source"][n - 1] = _line(rng)
        elif r < one_side + both_sides + conflicts:
            k = rng.randrange(n)
            cur["source"][k] = _line(rng)
            inc["source"][k] = _line(rng)
        # Re-running a cell changes only its outputs and count.
        if rng.random() < 0.1:
            inc["execution_count"] = (inc["execution_count"] or 0) + 100
    incoming["metadata"]["canvas"]["parameters"][0]["value"] = "changed"
    return base, current, incoming


def _changed_line(rng, line):
    """The same statement with another argument: an edit of one line."""
    return line.rstrip("\n") + f"  # v{rng.randint(0, 99999)}\n"


def edited_triple(n_cells, seed=0, one_side=0.05, both_sides=0.02, conflicts=0.01,
                  canvas=0.02, reruns=0.10, added=0.01, deleted=0.005, **kw):
    """(base, current, incoming, counts) with a controlled number of each edit.

    Each fraction of the cells (at least one cell of each kind from 10 cells
    on) gets exactly one kind of edit:
      one_side    a source line changed on one side, alternately;
      both_sides  the first line changed by current, the last by incoming
                  (a clean source merge);
      conflicts   the same line changed differently on both sides;
      canvas      incoming renames the cell, comments on it or recolours it,
                  or current rewires its parents, alternately;
    and independently of those:
      reruns      incoming re-ran the cell (new count and stream output);
      added       new cells appended by incoming;
      deleted     cells removed by current and left wholly alone by incoming.
    Incoming also changes one canvas parameter.  `counts` gives the number
    of cells of each kind; counts["conflicts"] is the number of source
    conflicts a correct merge reports.
    """
    rng = random.Random(seed + 1)
    base = notebook(n_cells, seed, **kw)
    current = copy.deepcopy(base)
    incoming = copy.deepcopy(base)

    def how_many(fraction):
        wanted = round(fraction * n_cells)
        return max(wanted, 1) if n_cells >= 10 and fraction > 0 else wanted

    kinds = [("one_side", how_many(one_side)), ("both_sides", how_many(both_sides)),
             ("conflicts", how_many(conflicts)), ("canvas", how_many(canvas))]
    picked = rng.sample(range(n_cells), sum(k for _, k in kinds))
    counts = {}
    start = 0
    for kind, number in kinds:
        counts[kind] = number
        for j, index in enumerate(picked[start:start + number]):
            cur, inc = current["cells"][index], incoming["cells"][index]
            lines = len(base["cells"][index]["source"])
            if kind == "one_side":
                side = cur if j % 2 == 0 else inc
                k = rng.randrange(lines)
                side["source"][k] = _changed_line(rng, side["source"][k])
            elif kind == "both_sides":
                cur["source"][0] = _changed_line(rng, cur["source"][0])
                inc["source"][-1] = _changed_line(rng, inc["source"][-1])
            elif kind == "conflicts":
                k = rng.randrange(lines)
                original = cur["source"][k]
                cur["source"][k] = _changed_line(rng, original)
                inc["source"][k] = _changed_line(rng, original)
            elif j % 4 == 0:
                inc["metadata"]["canvas"]["name"] += "_renamed"
            elif j % 4 == 1:
                inc["metadata"]["canvas"]["comments"] = (
                    inc["metadata"]["canvas"]["comments"] + [{"text": "why?", "author": "b"}])
            elif j % 4 == 2:
                inc["metadata"]["canvas"]["headerColor"] = "green"
            else:
                cur["metadata"]["canvas"]["parents"] = cur["metadata"]["canvas"]["parents"][:1]
        start += number

    rerun = set()
    for index, cell in enumerate(incoming["cells"]):
        if rng.random() < reruns:
            rerun.add(index)
            cell["execution_count"] = (cell["execution_count"] or 0) + n_cells
            cell["outputs"] = [{"name": "stdout", "output_type": "stream",
                                "text": [f"rerun: loss={rng.random():.6f}\n"]}]

    counts["reruns"] = len(rerun)
    # A cell deleted on one side and re-run on the other is a conflict of its
    # own (kept by the merge); deletions are taken from cells left alone.
    untouched = sorted(set(range(n_cells)) - set(picked) - rerun)
    gone = sorted(rng.sample(untouched, min(len(untouched), how_many(deleted))), reverse=True)
    for index in gone:
        del current["cells"][index]
    counts["deleted"] = len(gone)

    extra = notebook(how_many(added), seed + 2, **kw)["cells"]
    for k, cell in enumerate(extra):
        cell["id"] = f"added-{k}"
        cell["metadata"]["canvas"]["name"] = f"added_step_{k}"
        cell["metadata"]["canvas"]["parents"] = []
    incoming["cells"].extend(extra)
    counts["added"] = len(extra)

    incoming["metadata"]["canvas"]["parameters"][0]["value"] = "changed"
    return base, current, incoming, counts
