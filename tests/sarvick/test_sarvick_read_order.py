"""Every host name is found before its call's arguments are read, as a Python
call finds its callee first: a read that rebinds the name (a property with a
side effect) leaves the call with the function found before it, and of two
missing names the first in source order is reported."""

import pytest

from pelorin.google_trends import sarvick
from pelorin.shared.collection_storage.parser_utils import CollectionParseError

from .test_sarvick import Host, job_files, submission

ALL_CALLS = ["load_result_files", "json_datasets", "google_trends_cache_identity_from_params",
             "safe_result_metadata", "attach_cache_metadata", "standard_artifacts", "ParsedCollection"]


def stand_in(name):
    def late(*args, **kwargs):
        raise AssertionError(f"the {name} bound by a read of its arguments was called")
    return late


def rebinding_on_read(target, attr, nth, name, monkeypatch):
    """A copy of `target` whose nth read of `attr` rebinds sarvick.<name>."""
    reads = []

    class Reading(type(target)):
        def __getattribute__(self, key):
            if key == attr:
                reads.append(key)
                if len(reads) == nth:
                    monkeypatch.setattr(sarvick, name, stand_in(name))
            return super().__getattribute__(key)

    copy = Reading.__new__(Reading)
    copy.__dict__.update(vars(target))
    return copy


@pytest.mark.parametrize("target, attr, nth, name", [
    ("files", "result", 1, "_result_datasets"),
    ("files", "params", 1, "google_trends_cache_identity_from_params"),
    ("submission", "scenario", 1, "google_trends_cache_identity_from_params"),
    ("files", "result", 2, "safe_result_metadata"),
    ("files", "params", 2, "attach_cache_metadata"),
    ("parser", "parser_version", 1, "ParsedCollection"),
])
def test_a_read_that_rebinds_the_callee_does_not_change_the_call(monkeypatch, target, attr, nth, name):
    objects = {"files": job_files("xlsx"), "submission": submission(cache_key="", result_metadata={}),
               "parser": sarvick.GoogleTrendsCollectionParser()}
    objects[target] = rebinding_on_read(objects[target], attr, nth, name, monkeypatch)
    host = Host(monkeypatch, objects["files"])
    objects["parser"].parse(objects["submission"])
    assert host.names() == ALL_CALLS


def test_the_error_class_is_found_before_the_message_is_made(monkeypatch):
    class Source:
        def __eq__(self, other):
            return False

        def __str__(self):
            monkeypatch.setattr(sarvick, "CollectionParseError", stand_in("CollectionParseError"))
            return "elsewhere"

    with pytest.raises(CollectionParseError, match="不支持来源：elsewhere"):
        sarvick.GoogleTrendsCollectionParser().parse(submission(source_system=Source()))


@pytest.mark.parametrize("deleted, reported", [
    (("json_datasets", "_BUSINESS_KEY_FIELDS"), "json_datasets"),
    (("_BUSINESS_KEY_FIELDS",), "_BUSINESS_KEY_FIELDS"),
])
def test_the_first_missing_name_in_source_order_is_reported(monkeypatch, deleted, reported):
    for name in deleted:
        monkeypatch.delattr(sarvick, name)
    with pytest.raises(NameError, match=f"^name '{reported}' is not defined$"):
        sarvick._result_datasets({"data": [{"date": "d"}]})
