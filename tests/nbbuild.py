"""Builders of the notebooks used across the test folders (one module for all)."""
import copy
import json


def cell(cid, name="", source=(), parents=(), cell_type="code", **canvas):
    """A code cell with canvas id `cid`; `parents` are canvas ids."""
    return {
        "cell_type": cell_type,
        "execution_count": None,
        "id": "nb-" + cid,
        "metadata": {
            "canvas": {
                "id": cid,
                "name": name,
                "parents": [{"id": p, "name": "name-of-" + p} for p in parents],
                "comments": [],
                "headerColor": "none",
                **canvas,
            }
        },
        "outputs": [],
        "source": list(source),
    }


def notebook(cells, parameters=()):
    return {
        "cells": list(cells),
        "metadata": {
            "canvas": {"parameters": [dict(p) for p in parameters], "version": "1"},
            "kernelspec": {"display_name": "Python 3", "language": "python", "name": "python3"},
        },
        "nbformat": 4,
        "nbformat_minor": 5,
    }


def param(name, value, type_="str"):
    return {"name": name, "type": type_, "value": value}


# Bare shapes, with only the keys the diff reads: a diff test sees exactly
# what it built.

def code_cell(cell_id, source=(), parents=(), **canvas):
    return {
        "cell_type": "code",
        "execution_count": 1,
        "metadata": {"canvas": {"id": cell_id, "parents": [dict(p) for p in parents], **canvas}},
        "outputs": [],
        "source": list(source),
    }


def other_cell(cell_id, cell_type="markdown", source=()):
    return {"cell_type": cell_type, "metadata": {"canvas": {"id": cell_id}}, "source": list(source)}


def bare_notebook(cells=(), parameters=None):
    """Parameters only where given (None: no "metadata" at all)."""
    document = {"cells": list(cells), "nbformat": 4, "nbformat_minor": 5}
    if parameters is not None:
        document["metadata"] = {"canvas": {"parameters": list(parameters)}}
    return document


def ref(parent_id, name):
    return {"id": parent_id, "name": name}


def write(path, document):
    with open(path, "w", encoding="utf-8") as f:
        json.dump(document, f)


def read(path):
    with open(path, encoding="utf-8") as f:
        return json.load(f)


def canvas(c):
    return c["metadata"]["canvas"]


def find(cells, cid):
    return next(c for c in cells if canvas(c)["id"] == cid)


def clone(document):
    return copy.deepcopy(document)


# The interpreter of the test run, without the working directory on its path
# (the source tree would shadow the installed extension modules).
PYTHON = [__import__("sys").executable, "-P"]

# A child command prefix that runs as the unprivileged user 65534 (for tests
# run as root, where permission checks pass trivially).  The user keeps one
# capability, reading and searching any directory, so that it can load an
# interpreter installed under root's home (pyenv's shared libpython); every
# write, ownership and sticky-directory check still applies to it.
UNPRIVILEGED_UID = 65534
UNPRIVILEGED = ["setpriv", f"--reuid={UNPRIVILEGED_UID}", f"--regid={UNPRIVILEGED_UID}", "--clear-groups",
                "--inh-caps=+dac_read_search", "--ambient-caps=+dac_read_search", "--"]
