"""Result rows whose keys run code while the table is built: the table is
read as from a snapshot of each row, and nothing the code frees or changes
is read afterwards."""

import gc

import pytest

from pelorin.google_trends import sarvick


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
