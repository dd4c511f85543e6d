"""Cost of a refused call to the query vocabulary's detectors.

A question that is not exactly text is refused with a type error naming the
argument. The native refusal is compared with the interpreter refusing the
same call in a function of the same header; with --baseline, the refused and
an accepted call (an empty question with a keyword argument) also with an
earlier build (a staged package tree, see _ratio.load_baseline).

    PYTHONPATH=build/dev-ombrith/stage python3 bench/ombrith_refusal.py [--baseline STAGE]
"""

import argparse

from _ratio import compare, load_baseline

from pelorin.query.services.planner import ombrith

MODULE = "pelorin.query.services.planner.ombrith"


def requested_canonical_fields(query, *, protected_terms=()):
    if type(query) is not str:
        raise TypeError(f"argument 'query' must be str, not {type(query).__name__}")


def refused(fn):
    def call():
        try:
            fn(None)
        except TypeError:
            pass

    return call


def accepted(fn):
    return lambda: fn("", protected_terms=())


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--baseline", metavar="STAGE", help="staged tree of an earlier build")
    args = parser.parse_args()
    native = ombrith.requested_canonical_fields
    compare("refused: Python def / native", refused(requested_canonical_fields), refused(native))
    if args.baseline:
        earlier = load_baseline(MODULE, args.baseline).requested_canonical_fields
        compare("refused: earlier build / native", refused(earlier), refused(native))
        compare("empty question: earlier build / native", accepted(earlier), accepted(native))


if __name__ == "__main__":
    main()
