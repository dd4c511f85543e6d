"""Hostile inputs: Python code run in the middle of a native step (a dict
subclass's items(), a metaclass's attribute lookup) that changes or frees what
the step is working on. Each row is one such place: it runs the step on a
hostile value and gives the outcome that Python code doing the same gives."""

import gc
import json

import pytest

from pelorin.keepa.services import brondic


def dumped(value):
    return json.dumps(value, ensure_ascii=False, indent=2).encode("utf-8")


def outcome(run):
    """What run() gives, or the type and text of the error it raises."""
    try:
        return run()
    except Exception as error:  # noqa: BLE001  (any error is an outcome)
        return type(error), str(error)


def kept_buffers():
    """Every bytearray of the writer's size held in a list the collector
    sees, as hostile code would look for the buffer kept between writes."""
    return [item for o in gc.get_objects() if type(o) is list
            for item in o if type(item) is bytearray and len(item) >= 64 * 1024]


def of_vanishing_class(base=object):
    """An instance whose class is freed while the class's name is read: the
    lookup moves the instance to another class and fails, and the metaclass's
    __getattr__ then gives "Odd". The class leaves itself out of its own MRO,
    so that no cycle keeps it: its last reference goes in the middle of the
    lookup, and only a reference held by the caller keeps it alive."""
    root = type("Root", (base,), {"__slots__": ()})
    holder = []

    class Vanishing(type):
        cut = False

        def mro(cls):
            return root.__mro__ if Vanishing.cut else type.mro(cls)

        def __getattribute__(cls, name):
            if name == "__name__" and holder:
                holder.pop().__class__ = root
                raise AttributeError(name)
            return type.__getattribute__(cls, name)

        def __getattr__(cls, name):
            return "Odd"

    cls = Vanishing("Odd", (root,), {"__slots__": ()})
    Vanishing.cut = True
    cls.__bases__ = (root,)
    holder.append(cls())
    return holder[0]


# --- rows: each builds the hostile case and gives (run, what Python gives)


def writer_buffer_resized(tmp_path):
    # Written as for a plain dict: the buffer the text is built in is out of
    # reach, so nothing that items() does can move it.
    brondic._write_json(tmp_path / "first.json", {"warm": "x" * 100})
    found = kept_buffers()

    class Resizing(dict):
        def items(self):
            for buffer in found:
                buffer.clear()
                buffer.extend(b"\0" * (1 << 20))
            return super().items()

    plain = {"before": "一" * 5000, "inner": {"k": list(range(2000))}, "after": ["二" * 50] * 500}
    value = dict(plain, inner=Resizing(plain["inner"]))

    def run():
        brondic._write_json(tmp_path / "job.json", value)
        return (tmp_path / "job.json").read_bytes()

    return run, dumped(plain)


def writer_type_name_freed(tmp_path):
    # The type error names the class as type(o).__name__ gives it.
    odd = of_vanishing_class()
    return (lambda: brondic._write_json(tmp_path / "job.json", [odd])), (
        TypeError, "Object of type Odd is not JSON serializable")


HOSTILE = [
    pytest.param(writer_buffer_resized, id="json Output: kept buffer resized from items()"),
    pytest.param(writer_type_name_freed, id="json name_of: class freed while its name is read"),
]


@pytest.mark.parametrize("build", HOSTILE)
def test_a_hostile_value_gives_what_python_gives(tmp_path, build):
    run, expected = build(tmp_path)
    assert outcome(run) == expected
