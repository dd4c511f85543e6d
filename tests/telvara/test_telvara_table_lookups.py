"""Table writers look up their steps where Python code looks them up, even while the cells run Python code."""

import pytest

from pelorin.amazon_rufus.services.telvara import Telvara


class Reference(Telvara):
    """The table writer as Python code: each step through the instance, looked up at its call."""

    def _markdown_table(self, headers, rows):
        lines = ["| " + " | ".join([self._md_cell(h) for h in headers]) + " |",
                 "| " + " | ".join(["---" for _ in headers]) + " |"]
        for row in rows:
            lines.append("| " + " | ".join([self._md_cell(c) for c in self._pad_row(row, len(headers))]) + " |")
        return lines

    def _render_structured_table(self, table, section_index, subsection_index):
        # For tables of text headers and list rows: every cell is read, then the table is written.
        rows = [[str(value) if value else "" for value in row] for row in table["rows"]]
        return self._markdown_table(table["headers"], rows)


def marked(value):
    return f"<{value}>"


class Acting:
    """A cell whose text form runs `action` first."""

    def __init__(self, action, text="a"):
        self.action, self.text = action, text

    def __str__(self):
        self.action()
        return self.text


def Patching(target, name, method, text="a"):
    """A cell whose text form replaces a method of `target` (the instance or its class)."""
    return Acting(lambda: setattr(target, name, method), text)


def fresh(kind):
    """An instance of its own class, so that a patch made on the class stays with it."""
    return type("Fresh", (kind,), {})()


def row_cell_patches_the_instance(tv):
    return tv._markdown_table(["h", "i", "j"], [[Patching(tv, "_md_cell", marked), "b", "c"], ["d"]])


def row_cell_patches_the_class(tv):
    return tv._markdown_table(["h", "i", "j"], [["x", Patching(type(tv), "_md_cell", lambda self, v: marked(v)), "c"]])


def fitted_cells_patch_while_iterated(tv):
    def pad_row(row, width):
        yield "a"
        tv._md_cell = marked
        yield "b"

    tv._pad_row = pad_row
    return tv._markdown_table(["h", "i"], [["a", "b"], ["c"]])


def header_cell_patches_the_instance(tv):
    return tv._markdown_table([Patching(tv, "_md_cell", marked, "h"), "i"], [["a", "b"]])


def structured_cell_patches_the_cell_writer(tv):
    return tv._render_structured_table({"headers": ["h"], "rows": [["a"], [Patching(tv, "_md_cell", marked)]]}, 0, 0)


def structured_cell_patches_the_row_fitter(tv):
    def pad_row(row, width):
        return [*row, "padded"]

    table = {"headers": ["h", "i"], "rows": [["a", "b"], [Patching(type(tv), "_pad_row", lambda self, r, w: pad_row(r, w))]]}
    return tv._render_structured_table(table, 0, 0)


def structured_cell_patches_the_table_writer(tv):
    table = {"headers": ["h"], "rows": [["a"], [Patching(tv, "_markdown_table", lambda headers, rows: [repr(rows)])]]}
    return tv._render_structured_table(table, 0, 0)


def header_grows_the_headers_while_written(tv):
    headers = ["h"]
    headers.append(Acting(lambda: headers.append("j"), "i"))
    return tv._markdown_table(headers, [["a", "b", "c"]])


@pytest.mark.parametrize(
    "case",
    [row_cell_patches_the_instance, row_cell_patches_the_class, fitted_cells_patch_while_iterated,
     header_cell_patches_the_instance, structured_cell_patches_the_cell_writer,
     structured_cell_patches_the_row_fitter, structured_cell_patches_the_table_writer,
     header_grows_the_headers_while_written],
)
def test_tables_see_a_patch_made_while_their_cells_are_written(case):
    assert case(fresh(Telvara)) == case(fresh(Reference))
