"""LineFill against the plain Python replace cycle.

(a) a letter of 20 placeholders filled 10,000 times;
(b) a 2 MB template holding 100,000 placeholders.

Run by hand: python bench/bench_linefill.py
"""

import re
import time

from tessel.linefill import LineFill


def replace_cycle(template, env):
    failed = []
    for placeholder in re.findall(r"\{([^{}]+?)\}", template):
        try:
            value = eval(placeholder, env)
            template = template.replace("{%s}" % placeholder, value if type(value) is str else str(value))
        except Exception:
            failed.append(placeholder)
    return template, failed


def best_of(runs, fn):
    best = float("inf")
    for _ in range(runs):
        start = time.perf_counter()
        fn()
        best = min(best, time.perf_counter() - start)
    return best


def letter():
    env = {f"field{i}": f"value number {i}" for i in range(18)}
    env.update(amount=1234.5, items=["a", "b", "c"])
    template = "Dear customer,\n" + "".join(f"line {i}: {{field{i}}}\n" for i in range(18))
    template += "Total {round(amount * 1.2, 2)} for {len(items)} items.\n"
    fill = LineFill()
    assert fill(template, dict(env)) == replace_cycle(template, dict(env))

    def ours():
        for _ in range(10_000):
            fill(template, env)

    def plain():
        for _ in range(10_000):
            replace_cycle(template, env)

    return best_of(3, plain), best_of(3, ours)


def big_template():
    env = {f"v{i}": i for i in range(1000)}
    chunk = "".join(f"cell {{v{i % 1000}}} " for i in range(100))
    template = chunk * 1000
    while len(template) < 2_000_000:
        template += "padding text without placeholders. "
    assert template.count("{") == 100_000
    fill = LineFill()
    assert fill(template, dict(env)) == replace_cycle(template, dict(env))
    return best_of(1, lambda: replace_cycle(template, env)), best_of(3, lambda: fill(template, env))


def main():
    print(f"{'case':<42}{'plain cycle':>14}{'LineFill':>12}{'ratio':>9}")
    for name, (plain, ours), target in [
        ("(a) 20-placeholder letter x 10,000", letter(), 5),
        ("(b) 2 MB template, 100,000 placeholders", big_template(), 50),
    ]:
        ratio = plain / ours
        status = "ok" if ratio >= target else f"below {target}x"
        print(f"{name:<42}{plain:>13.3f}s{ours:>11.3f}s{ratio:>8.1f}x  {status}")


if __name__ == "__main__":
    main()
