"""What the report reads from the values Python code hands it, and in which order."""

import pytest


class Recording(dict):
    """A mapping that records the keys it is asked for."""

    def __init__(self, *args):
        super().__init__(*args)
        self.read = []

    def get(self, key, default=None):
        self.read.append(key)
        return super().get(key, default)


FIELDS = ["评论", "问题", "依据"]


@pytest.mark.parametrize(
    "table, read",
    [
        ({"建议改为": "s", "建议": "t"}, FIELDS + ["建议改为"]),
        ({"建议改为": "", "建议": "t"}, FIELDS + ["建议改为", "建议"]),
        ({"建议": "t"}, FIELDS + ["建议改为", "建议"]),
    ],
)
def test_a_review_suggestion_falls_back_only_when_it_is_empty(tv, table, read):
    table = Recording(table)
    tv._table_key_values = lambda lines: table
    tv._infer_review_sections(["① 标题", "| 评论 | r |"])
    assert table.read == read
