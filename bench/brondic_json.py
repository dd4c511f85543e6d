"""Speed of the Keepa manager's job-file writer against the standard library.

    python bench/brondic_json.py [--only NAME] [--rounds N] [--baseline STAGE]

Baseline: what Python does for a job file, json.dumps(value,
ensure_ascii=False, indent=2) encoded to UTF-8 and written to the file; with
--baseline, brondic._write_json as built in the staged package tree STAGE.
Candidate: brondic._write_json on the same value and path. Each workload is
built from a fixed seed; printed per workload is the median ratio of
interleaved rounds (see _ratio.py).
"""

import argparse
import json
import random
import tempfile
from pathlib import Path

from _ratio import compare, load_baseline

from pelorin.keepa.services import brondic

WORKLOADS = []  # (name, builder); a builder takes a random.Random and returns a value


def workload(name):
    def register(builder):
        WORKLOADS.append((name, builder))
        return builder

    return register


@workload("120k small floats")
def small_floats(rng):
    return [round(rng.random() * 1000, 2) for _ in range(120_000)]


HAN = "防水耐用轻便续航充电兼容质量价格售后包装安装噪音功率容量评价买家推荐性价比细节说明对比优势"
ESCAPED = ['"', "\n", "\\", "\t", "\x01", "\x1f", "\r"]


def text(rng, low, high):
    chars = []
    for _ in range(rng.randint(low, high)):
        pick = rng.random()
        if pick < 0.6:
            chars.append(rng.choice(HAN))
        elif pick < 0.85:
            chars.append(rng.choice("abcdefghijklmnopqrstuvwxyz 0123456789"))
        else:
            chars.append(rng.choice(ESCAPED))
    return "".join(chars)


@workload("20k short non-ASCII texts with escapes")
def short_texts(rng):
    return [text(rng, 8, 32) for _ in range(20_000)]


def asin(rng):
    return "B0" + "".join(rng.choice("ABCDEFGHJKLMNPQRSTUVWXYZ0123456789") for _ in range(8))


def series(rng, points):
    # Keepa time (minutes since 2011) and a price in cents, -1 when out of stock.
    minute, price, values = rng.randint(4_000_000, 6_000_000), rng.randint(500, 20_000), []
    for _ in range(points):
        minute += rng.randint(30, 5_000)
        price = -1 if rng.random() < 0.05 else max(100, price + rng.randint(-300, 300))
        values += [minute, price]
    return values


def product(rng):
    return {
        "asin": asin(rng),
        "domainId": 1,
        "title": text(rng, 20, 80),
        "brand": rng.choice(["Anker", "小米", "Ugreen", "Baseus"]),
        "productGroup": "Wireless",
        "categories": [rng.randint(1_000, 10**10) for _ in range(rng.randint(1, 4))],
        "categoryTree": [{"catId": rng.randint(1_000, 10**9), "name": text(rng, 3, 12)} for _ in range(4)],
        "imagesCSV": ",".join(f"{asin(rng)}.jpg" for _ in range(5)),
        "features": [text(rng, 30, 120) for _ in range(5)],
        "description": text(rng, 200, 600),
        "csv": [series(rng, rng.randint(200, 1500)) if rng.random() < 0.7 else None for _ in range(30)],
        "stats": {
            "current": [rng.randint(-1, 30_000) for _ in range(30)],
            "avg90": [rng.randint(-1, 30_000) for _ in range(30)],
            "outOfStockPercentage90": [round(rng.random(), 4) for _ in range(30)],
            "buyBoxIsAmazon": rng.random() < 0.5,
            "salesRankDrops30": rng.randint(0, 300),
        },
        "offers": None,
        "rating": round(rng.uniform(1, 5), 1),
        "lastUpdate": rng.randint(6_000_000, 7_000_000),
    }


@workload("Keepa-like answer")
def keepa_answer(rng):
    return {
        "timestamp": 1_712_000_000_000,
        "tokensLeft": 1_180,
        "refillIn": 41_233,
        "refillRate": 20,
        "tokenFlowReduction": 0.0,
        "tokensConsumed": 40,
        "processingTimeInMs": 311,
        "products": [product(rng) for _ in range(20)],
    }


def python_write(path, value):
    path = Path(path)
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_bytes(json.dumps(value, ensure_ascii=False, indent=2).encode("utf-8"))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--only", help="run only the workload whose name contains this")
    parser.add_argument("--rounds", type=int, default=15)
    parser.add_argument("--baseline", help="staged package tree of the build to compare with")
    args = parser.parse_args()
    write = python_write
    if args.baseline:
        write = load_baseline("pelorin.keepa.services.brondic", args.baseline)._write_json
    with tempfile.TemporaryDirectory() as folder:
        base_path, cand_path = Path(folder) / "base" / "a.json", Path(folder) / "cand" / "a.json"
        for name, builder in WORKLOADS:
            if args.only and args.only not in name:
                continue
            value = builder(random.Random(20240611))
            write(base_path, value)
            brondic._write_json(cand_path, value)
            if base_path.read_bytes() != cand_path.read_bytes():
                raise SystemExit(f"{name}: the two files differ")
            compare(name, baseline=lambda: write(base_path, value),
                    candidate=lambda: brondic._write_json(cand_path, value), rounds=args.rounds)


if __name__ == "__main__":
    main()
