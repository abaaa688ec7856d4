"""Small builders of notebook documents for the diff tests."""


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


def parameter(name, value, type_="str"):
    return {"name": name, "type": type_, "value": value}


def notebook(cells=(), parameters=None):
    document = {"cells": list(cells), "nbformat": 4, "nbformat_minor": 5}
    if parameters is not None:
        document["metadata"] = {"canvas": {"parameters": list(parameters)}}
    return document


def ref(parent_id, name):
    return {"id": parent_id, "name": name}
