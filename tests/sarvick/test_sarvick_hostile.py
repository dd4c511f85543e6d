"""Python code run while the result table is built (a key's __str__, or a
collection's finalizer started by an allocation): nothing it frees or finds
half made is read, and the table is the one the rows give."""

import gc

import pytest

from pelorin.google_trends import sarvick

from ..conftest import collection_at


def tables(monkeypatch):
    """The table handed to json_datasets, kept instead of its datasets."""
    seen = []
    monkeypatch.setattr(sarvick, "json_datasets", lambda table, **kw: seen.append(table) or [])
    return seen


def a_str_key_that_clears_a_later_row():
    """A key's __str__ gives a str subclass whose __eq__ clears the next row:
    the column is the plain text, so later rows never compare with it."""
    rows = []

    class Evil(str):
        __hash__ = str.__hash__

        def __eq__(self, other):
            rows[1].clear()
            gc.collect()
            return False

    class Key:
        def __str__(self):
            return Evil("col")

    kept = object()
    rows += [{Key(): 1}, {"".join(["c", "ol"]): [kept]}]
    return rows, {"columns": ["col"], "rows": [[1], [[kept]]]}


@pytest.mark.parametrize("case", [a_str_key_that_clears_a_later_row])
def test_rows_that_change_while_the_table_is_built(monkeypatch, case):
    seen = tables(monkeypatch)
    rows, expected = case()
    sarvick._result_datasets({"data": rows})
    table = seen[0]
    assert {"columns": table["columns"], "rows": table["rows"]} == expected
    assert all(type(column) is str for column in table["columns"])


def test_collections_while_the_rows_are_made_find_them_whole(monkeypatch):
    """A collection started at each of the table's allocations in turn reads
    every list, the table's list of rows among them."""
    seen = tables(monkeypatch)
    data = [{"k": n, "v": str(n)} for n in range(6)]
    within = False
    for k in range(1, 17):
        seen.clear()
        outcome, ran = collection_at(k, lambda: None, lambda: sarvick._result_datasets({"data": data}))
        within = within or ran
        assert seen[0]["rows"] == [[n, str(n)] for n in range(6)], k
    assert within
