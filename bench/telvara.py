"""Throughput of Telvara.format_data on fixed synthetic Rufus results.

    python bench/telvara.py [--repeat N] [--only NAME] [--baseline STAGE]

Each corpus is built from a fixed seed, so figures compare across builds.
Printed per corpus: calls per second and megabytes (UTF-8) of report per
second, best of N runs. To add a corpus, decorate a builder with @corpus.

With --baseline, the module as built in the staged package tree STAGE (an
earlier revision, e.g. build/dev-telvara/stage of a worktree) runs beside the
current one instead, in interleaved rounds on thread CPU time, and the speed-up
of the current build is printed per corpus (the reports must be identical).
"""

import argparse
import random
import sys
import time
from pathlib import Path

from pelorin.amazon_rufus.services.telvara import DIAGNOSIS_SUBSECTIONS, Telvara

CORPORA = []  # (name, builder); a builder takes a random.Random and returns a list of results


def corpus(name):
    def register(builder):
        CORPORA.append((name, builder))
        return builder

    return register


WORDS = ("防水 耐用 轻便 续航 充电 兼容 material battery waterproof size color 质量 价格 售后 包装 "
         "安装 噪音 功率 容量 stainless warranty 评价 买家 推荐 性价比 细节 说明 对比 优势").split()


def phrase(rng, low=3, high=12):
    return " ".join(rng.choice(WORDS) for _ in range(rng.randint(low, high)))


def asin(rng):
    return "B0" + "".join(rng.choice("ABCDEFGHJKLMNPQRSTUVWXYZ0123456789") for _ in range(8))


def links(rng, count):
    return [
        {"asin": asin(rng), "title": phrase(rng, 4, 10), "href": f"https://www.amazon.com/dp/{asin(rng)}",
         "source": rng.choice(["rufus", "search", ""]), "description": phrase(rng, 0, 8)}
        if rng.random() < 0.85 else asin(rng)
        for _ in range(count)
    ]


def markdown_prose(rng):
    parts = []
    for _ in range(rng.randint(3, 7)):
        shape = rng.random()
        if shape < 0.2:
            parts.append(f"{'#' * rng.randint(1, 3)} {phrase(rng, 2, 5)}")
        elif shape < 0.5:
            parts.append("\n".join(f"{rng.choice(['-', '*', '1.'])} **{phrase(rng, 1, 2)}**：{phrase(rng)}"
                                   for _ in range(rng.randint(2, 6))))
        elif shape < 0.65:
            width = rng.randint(2, 4)
            rows = [" | ".join(phrase(rng, 1, 3) for _ in range(width)) for _ in range(rng.randint(2, 6))]
            parts.append("\n".join([f"| {rows[0]} |", "|" + "---|" * width] + [f"| {row} |" for row in rows[1:]]))
        else:
            parts.append("\n".join(phrase(rng, 8, 25) for _ in range(rng.randint(1, 4))))
    return "\n\n".join(parts)


def structured_blocks(rng):
    blocks = []
    for _ in range(rng.randint(4, 14)):
        kind = rng.choice(["heading", "paragraph", "list_item", "list_item", "table_row", "paragraph"])
        if kind == "table_row":
            for _ in range(rng.randint(2, 5)):
                blocks.append({"type": "table_row", "text": "", "cells": [phrase(rng, 1, 3) for _ in range(3)]})
        else:
            blocks.append({"type": kind, "text": phrase(rng), "level": rng.randint(1, 3)})
    return blocks


@corpus("question-and-answer results")
def qa_results(rng, count=1000):
    results = []
    for _ in range(count):
        answers = []
        for _ in range(rng.randint(7, 20)):
            answer = {"isSuccess": True, "text": markdown_prose(rng), "productLinks": links(rng, rng.randint(0, 4)),
                      "recommendedAsins": links(rng, rng.randint(0, 3)),
                      "summaryText": phrase(rng, 0, 20)}
            if rng.random() < 0.5:
                answer["blocks"] = structured_blocks(rng)
            answers.append(answer)
        results.append({"asin": asin(rng), "answers": answers,
                        "questions": [phrase(rng, 3, 8) + "？" for _ in range(len(answers) - rng.randint(0, 2))]})
    return results


def subsection_body(rng, section, subsection):
    shape = rng.random()
    if shape < 0.35:
        headers = [phrase(rng, 1, 2) for _ in range(rng.randint(2, 5))]
        rows = [{h: phrase(rng, 1, 6) for h in headers} if rng.random() < 0.5
                else [phrase(rng, 1, 6) for _ in range(len(headers) + rng.randint(-1, 1))]
                for _ in range(rng.randint(1, 6))]
        return {"table": {"headers": headers if rng.random() < 0.7 else [], "rows": rows}}
    if shape < 0.5:
        return {"rows": [[phrase(rng, 1, 4) for _ in range(4)] for _ in range(rng.randint(1, 5))]}
    if shape < 0.85:
        return {"blocks": [
            rng.choice([
                {"type": "paragraph", "text": phrase(rng, 10, 30)},
                {"type": "heading", "level": rng.randint(2, 5), "text": phrase(rng, 2, 4)},
                {"type": "list", "items": [{"prefix": phrase(rng, 1, 2), "text": phrase(rng)} for _ in range(3)]},
                {"type": "quote", "text": phrase(rng) + "\n" + phrase(rng)},
                {"type": "bullet", "label": f"卖点{section}", "title": phrase(rng, 2, 3), "body": [phrase(rng), phrase(rng)]},
            ])
            for _ in range(rng.randint(2, 6))
        ]}
    return {"text": "\n".join(phrase(rng, 6, 20) for _ in range(rng.randint(1, 4)))}


@corpus("structured reports")
def structured_reports(rng, count=1000):
    results = []
    for _ in range(count):
        sections = {}
        for section in range(1, 8):
            subs = [dict(index=n, **subsection_body(rng, section, n)) for n in DIAGNOSIS_SUBSECTIONS[section]]
            sections[str(section)] = {"subsections": subs}
        results.append({"asin": asin(rng), "diagnosis_report": {"asin": asin(rng), "sections": sections}})
    return results


def inferred_prose(rng, question):
    """An answer in the marker words of its question, without numbered subsections."""
    def short():
        return phrase(rng, 1, 4)

    def fields(labels):
        return [f"{label}：{short()}" for label in labels if rng.random() < 0.9]

    if question == 1:
        lines = [f"当前标题：{phrase(rng, 6, 10)}", "（共约 150 字符）", "分析结果", "维度", "问题", "依据", "建议改为"]
        for _ in range(rng.randint(1, 3)):
            lines += [short(), short(), short(), short()]
        lines += ["综合建议标题", phrase(rng, 6, 10), "优化点说明"] + [f"- {short()}：{short()}" for _ in range(2)]
    elif question == 2:
        lines = []
        for n in range(1, rng.randint(3, 6)):
            lines += [f"第{n}点：{short()}"] + fields(["现有表达", "问题", "依据", "建议改为"])
        lines += ["核心逻辑", short()]
    elif question in (3, 4):
        marker = "图" if question == 3 else "模块 "
        lines = [short()]
        for n in range(1, rng.randint(3, 5)):
            lines += [f"{marker}{n}｜{short()}"] + fields(["问题", "依据", "建议改为"])
    elif question == 5:
        lines = []
        for n in range(rng.randint(2, 4)):
            lines += [f"{'①②③④⑤⑥⑦⑧⑨'[n]} {short()}{'⚠' if rng.random() < 0.3 else ''}", "| 项目 | 内容 |", "|---|---|"]
            lines += [f"| {key} | {short()} |" for key in ("评论", "问题", "依据", "建议改为") if rng.random() < 0.9]
    elif question == 6:
        lines = []
        for title in DIAGNOSIS_SUBSECTIONS[6].values():
            lines += [title, short()]
    else:
        lines = ["整体", short(), "问题", short(), "依据", short(), "建议改为", short(), "改动要点", short()]
    return lines


@corpus("prose diagnoses")
def prose_diagnoses(rng, count=500):
    """Seven-answer listing questionnaires answered in prose (2-6 KB a result), numbered or in marker words."""
    results = []
    for _ in range(count):
        share = rng.randint(2000, 6000) // 7
        answers = []
        for question in range(1, 8):
            if rng.random() < 0.4:
                lines = []
                for number, title in DIAGNOSIS_SUBSECTIONS[question].items():
                    lines += [f"{number}、{title}", phrase(rng, 1, 4)]
            else:
                lines = inferred_prose(rng, question)
            text = "\n".join(lines)
            while len(text.encode("utf-8")) < share:
                text += "\n" + phrase(rng, 1, 4)
            answers.append({"answer": text})
        results.append({"asin": asin(rng), "answers": answers})
    return results


def measure(tv, results, repeat):
    best = float("inf")
    size = 0
    for _ in range(repeat):
        start = time.perf_counter()
        reports = [tv.format_data(data) for data in results]
        best = min(best, time.perf_counter() - start)
        size = sum(len(report.encode("utf-8", "surrogatepass")) for report in reports)
    return best, size


def compare_with(stage, only):
    sys.path.insert(0, str(Path(__file__).parent))
    from _ratio import compare, load_baseline

    old = load_baseline("pelorin.amazon_rufus.services.telvara", stage).Telvara()
    new = Telvara()
    for name, builder in CORPORA:
        if only and name != only:
            continue
        results = builder(random.Random(20240613))[:200]
        assert [old.format_data(d) for d in results] == [new.format_data(d) for d in results], name
        compare(f"format_data, {name}", lambda: [old.format_data(d) for d in results],
                lambda: [new.format_data(d) for d in results], number=1, rounds=11, unit="200 reports")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=5)
    parser.add_argument("--only", help="run only the corpus of this name")
    parser.add_argument("--baseline", help="staged package tree of the build to compare with")
    args = parser.parse_args()
    if args.baseline:
        compare_with(args.baseline, args.only)
        return
    tv = Telvara()
    print(f"{'corpus':<32} {'calls':>6} {'calls/s':>10} {'MB/s':>8} {'KB/report':>10}")
    for name, builder in CORPORA:
        if args.only and name != args.only:
            continue
        results = builder(random.Random(20240613))
        seconds, size = measure(tv, results, args.repeat)
        calls = len(results)
        print(f"{name:<32} {calls:>6} {calls / seconds:>10.1f} {size / seconds / 1e6:>8.2f} {size / calls / 1e3:>10.1f}")


if __name__ == "__main__":
    main()
