"""Python code run while the result table is built (a key's __str__, or a
collection's finalizer started by an allocation): nothing it frees or finds
half made is read, and the table is the one the rows give."""

import gc

import pytest

from pelorin.google_trends import sarvick

from ..conftest import StrSub, collection_at, self_containing_list


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


def found_with(text, kind, rows):
    """The containers of `kind` that hold `text` and are none of the rows, as
    a key's __str__ finds them through gc.get_referrers."""
    return [o for o in gc.get_referrers(text) if type(o) is kind and all(o is not row for row in rows)]


def a_key_that_changes_the_columns(change):
    """Lists that hold a column, changed by a later row's key: the rows made
    before keep their cells, and the columns stay the texts the keys gave."""

    def case():
        col, rows = "".join(["c", "ol"]), []

        class Key:
            def __str__(self):
                for found in found_with(col, list, rows):
                    change(found)
                return "k"

        rows += [{col: 1, "b": 2}, {Key(): 3}]
        return rows, {"columns": ["col", "b", "k"], "rows": [[1, 2, None], [None, None, 3]]}

    return case


@pytest.mark.parametrize("case", [
    pytest.param(a_str_key_that_clears_a_later_row, id="str-key-clears-a-later-row"),
    pytest.param(a_key_that_changes_the_columns(list.clear), id="key-clears-the-columns"),
    pytest.param(a_key_that_changes_the_columns(list.pop), id="key-drops-a-column"),
    pytest.param(a_key_that_changes_the_columns(lambda found: found.append(StrSub("x"))), id="key-adds-a-column"),
    pytest.param(a_key_that_changes_the_columns(lambda found: found.__setitem__(0, self_containing_list())),
                 id="key-replaces-a-column"),
])
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
