"""Builders for small pipeline notebooks used across the tests."""
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
