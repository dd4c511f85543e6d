"""_parse_fields is found before the fill's output is read, as the Python call
`_parse_fields(result.stdout)` finds its callee first: a read that rebinds
the name (a property with a side effect) does not change the function called."""

from pelorin.app.services import kelpton

from .test_kelpton import URL


def test_a_read_that_rebinds_the_parser_does_not_change_the_call(monkeypatch):
    def late(value):
        raise AssertionError("the _parse_fields bound by reading stdout was called")

    class Result:
        returncode = 0

        @property
        def stdout(self):
            monkeypatch.setattr(kelpton, "_parse_fields", late)
            return "username=u\npassword=secret\n"

    class Runner:
        def run(self, *args, **kwargs):
            return Result()

    store = kelpton.KelptonentialStore(Runner())
    assert store.has_credential(".", repo_url=URL, username="u", token_hint="cret") is True
