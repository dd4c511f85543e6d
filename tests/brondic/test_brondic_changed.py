"""An answer changed by code that runs while it is walked: refused as Python's
own walk of it refuses it."""

import json

import pytest

from pelorin.keepa.services import brondic


class Swapping:
    """A key that, compared for the first time, takes itself out of its
    mapping and puts a new key in: the size stays, the keys change."""

    def __init__(self, mapping):
        self.mapping = mapping

    def __hash__(self):
        return 7

    def __eq__(self, other):
        if self.mapping.pop(self, None) is not None:
            self.mapping["z"] = 1
        return False


class SwappingRows(list):
    """Rows whose walk takes their own entry out of the answer and puts a
    new one in."""

    def __init__(self, answer):
        super().__init__([1])
        self.answer = answer

    def __iter__(self):
        if self.answer.pop("a", None) is not None:
            self.answer["z"] = 1
        return super().__iter__()


def answer_with_a_swapping_key():
    answer = {}
    answer[Swapping(answer)] = 0
    answer["products"] = [{"asin": "A"}]
    return answer


def answer_with_swapping_rows():
    answer = {}
    answer["a"] = SwappingRows(answer)
    return answer


@pytest.mark.parametrize(
    "make, native, python",
    [
        (
            answer_with_a_swapping_key,
            lambda answer, path: brondic.raw_response_to_export_rows(answer),
            lambda answer: {k: v for k, v in answer.items() if k != "products" and k != "searchInsights"},
        ),
        (
            answer_with_swapping_rows,
            lambda answer, path: brondic._write_json(path, answer),
            lambda answer: json.dumps(answer, ensure_ascii=False, indent=2),
        ),
    ],
    ids=["export_base_row", "json_object"],
)
def test_keys_changed_while_walked(make, native, python, tmp_path):
    with pytest.raises(RuntimeError) as python_error:
        python(make())
    with pytest.raises(RuntimeError) as native_error:
        native(make(), tmp_path / "x.json")
    assert str(native_error.value) == str(python_error.value) == "dictionary keys changed during iteration"
