"""Questions per second for the query vocabulary's detectors.

Runs every detector over a fixed, seeded corpus of data questions in the
shapes the query planner sees (metrics, colloquial phrasings, groupings, broad
sales questions, ASCII and full-width words, protected labels) and prints the
rate of each. With --plain it also times the plain-Python model of the same
rules kept beside the tests.

With --baseline STAGE, the module as built in the staged package tree STAGE
(an earlier revision, e.g. build/dev-ombrith/stage of another worktree) runs
beside the current one instead: both must give the same results on the whole
corpus, and then each detector, and all of them in turn on each question (as
the planner calls them), runs over the corpus in interleaved rounds on thread
CPU time; the speed-up of the current build is printed.

    PYTHONPATH=build/dev-ombrith/stage python3 bench/ombrith.py [--plain | --baseline STAGE]
"""

import argparse
import importlib.util
import random
import sys
import time
from pathlib import Path

from pelorin.query.services.planner import ombrith

SEED = 20240611
SIZE = 12000

SUBJECTS = ["各店铺", "每个产品", "各平台", "ASIN B0C1X2Y3Z4", "美国站", "这个SKU", "所有商品", "按品类", "各销售",
            "按集团事业部", "每位销售员", "销售负责人是张三的", "销售：李四", "TEAM_USERNAME为wang的", "各事业部"]
TIMES = ["上个月", "近7日", "近17日", "这周", "去年同期", "最近", "2024年Q1", "今天", "过去30天", ""]
METRICS = ["销售额", "销量", "订单量", "广告费", "毛利", "毛利率", "采购成本占比", "广告占比", "CTR", "ＧＭＶ", "ACOS",
           "TACOS", "转化率", "退货率", "营业额", "收入", "广告花费", "投放费用", "毛利润", "进货成本", "成交量",
           "客单价", "库存", "sessions"]
COLLOQUIAL = ["卖了多少钱", "卖多少个", "出了多少单", "几单", "多少单价", "广告一共花了多少钱", "推广 总共 烧了多少",
              "营收多少钱", "销出了多少件", "多少笔订单"]
BROAD = ["销售情况怎么样", "卖得最好的", "卖的 最 多", "销售趋势", "销售数据", "看一下销售数据集", "销售表现如何"]
VERBS = ["查询", "查看", "分析", "统计", "汇总", "展示", "列出", "获取", "帮我看看", "对比"]
TAILS = ["", "排名前10", "，按降序排列", "并画图", "？", "的变化", "和同比", " top 5", "（不含退款）"]


def question(rng):
    parts = [rng.choice(VERBS), rng.choice(TIMES), rng.choice(SUBJECTS)]
    kind = rng.random()
    if kind < 0.55:
        parts.append("和".join(rng.sample(METRICS, rng.randint(1, 3))))
    elif kind < 0.75:
        parts.append(rng.choice(COLLOQUIAL))
    elif kind < 0.9:
        parts.append(rng.choice(BROAD))
    else:
        parts.append(rng.choice(METRICS) + rng.choice(COLLOQUIAL))
    parts.append(rng.choice(TAILS))
    text = "".join(parts)
    if rng.random() < 0.05:
        text = "  " + text.upper() + "\u3000"
    return text


def corpus():
    rng = random.Random(SEED)
    questions = [question(rng) for _ in range(SIZE)]
    labels = [tuple(m for m in ("毛利率", "广告占比", "商品销售额", "ctr值") if m in q and rng.random() < 0.7)
              for q in questions]
    return questions, labels


def detectors(mod):
    return {
        "requested_canonical_fields": lambda q, p: mod.requested_canonical_fields(q, protected_terms=p),
        "colloquial_metric_fields": lambda q, p: mod.colloquial_metric_fields(q),
        "has_broad_sales_metric_intent": lambda q, p: mod.has_broad_sales_metric_intent(q),
        "sales_person_dimension_requested": lambda q, p: mod.sales_person_dimension_requested(q),
        "dimension_alias_fields": lambda q, p: mod.dimension_alias_fields(q),
        "has_standalone_term_occurrence": lambda q, p: mod.has_standalone_term_occurrence("acos", q),
        "metric_term_is_covered": lambda q, p: mod.metric_term_is_covered(q[-4:], ("order_qty", "销售额", "毛利")),
    }


def rate(call, questions, labels, rounds):
    best = float("inf")
    for _ in range(rounds):
        started = time.perf_counter()
        for q, p in zip(questions, labels):
            call(q, p)
        best = min(best, time.perf_counter() - started)
    return len(questions) / best


def reference_model():
    path = Path(__file__).resolve().parent.parent / "tests" / "ombrith" / "ombrith_reference.py"
    module_spec = importlib.util.spec_from_file_location("ombrith_reference", path)
    model = importlib.util.module_from_spec(module_spec)
    module_spec.loader.exec_module(model)
    m = ombrith

    class Plain:
        requested_canonical_fields = staticmethod(lambda q, protected_terms=(): model.requested(m, q, protected_terms))
        colloquial_metric_fields = staticmethod(lambda q: model.colloquial(m, q))
        has_broad_sales_metric_intent = staticmethod(lambda q: model.broad(m, q))
        sales_person_dimension_requested = staticmethod(lambda q: model.sales_person(m, q))
        dimension_alias_fields = staticmethod(lambda q: model.dimensions(m, q))
        has_standalone_term_occurrence = staticmethod(lambda t, q: model.has_standalone(m, t, q))
        metric_term_is_covered = staticmethod(lambda t, c: model.covered(m, t, c))

    return Plain


def every_detector(calls):
    calls = list(calls.values())

    def everything(q, p):
        for call in calls:
            call(q, p)

    return everything


def comparable(result):
    # Mappings compared with their order, which decides the wording reported.
    return list(result.items()) if isinstance(result, dict) else result


def compare_with(stage, questions, labels):
    sys.path.insert(0, str(Path(__file__).parent))
    from _ratio import compare, load_baseline

    old = detectors(load_baseline("pelorin.query.services.planner.ombrith", stage))
    new = detectors(ombrith)
    for name in new:
        before = [comparable(old[name](q, p)) for q, p in zip(questions, labels)]
        after = [comparable(new[name](q, p)) for q, p in zip(questions, labels)]
        assert before == after, name
    old["all detectors, per question"] = every_detector(old)
    new["all detectors, per question"] = every_detector(new)
    pairs = list(zip(questions, labels))

    def over_corpus(call):
        return lambda: [call(q, p) for q, p in pairs]

    for name in new:
        compare(name, over_corpus(old[name]), over_corpus(new[name]), unit="corpus")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=5)
    choice = parser.add_mutually_exclusive_group()
    choice.add_argument("--plain", action="store_true", help="also time the plain-Python model")
    choice.add_argument("--baseline", metavar="STAGE", help="staged package tree of the build to compare with")
    args = parser.parse_args()

    questions, labels = corpus()
    print(f"corpus: {len(questions)} questions ({len(set(questions))} distinct), seed {SEED}")
    if args.baseline:
        compare_with(args.baseline, questions, labels)
        return
    kinds = {"native": ombrith}
    if args.plain:
        kinds["plain Python"] = reference_model()
    rates = {}
    for kind, mod in kinds.items():
        calls = detectors(mod)
        for name, call in calls.items():
            rates[kind, name] = rate(call, questions, labels, args.rounds)
        rates[kind, "all detectors, per question"] = rate(every_detector(calls), questions, labels, args.rounds)

    names = list(detectors(ombrith)) + ["all detectors, per question"]
    header = f"{'detector':36}" + "".join(f"{kind + ' q/s':>18}" for kind in kinds)
    if args.plain:
        header += f"{'speed-up':>10}"
    print(header)
    for name in names:
        line = f"{name:36}" + "".join(f"{rates[kind, name]:>18,.0f}" for kind in kinds)
        if args.plain:
            line += f"{rates['native', name] / rates['plain Python', name]:>9.1f}x"
        print(line)


if __name__ == "__main__":
    main()
