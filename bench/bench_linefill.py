"""LineFill against the plain Python replace cycle.

(a) a letter of 20 placeholders filled 10,000 times, also with safe=True,
    which must take at most 1.5x the default;
(b) a 2 MB template holding 100,000 placeholders.

Run by hand: python bench/bench_linefill.py [a|b]  (both cases by default)
"""

import re
import sys
import time

from tessel.linefill import LineFill
from timing import best_of


def replace_cycle(template, env):
    failed = []
    for placeholder in re.findall(r"\{([^{}]+?)\}", template):
        try:
            value = eval(placeholder, env)
            template = template.replace("{%s}" % placeholder, value if type(value) is str else str(value))
        except Exception:
            failed.append(placeholder)
    return template, failed


def letter_case():
    env = {f"field{i}": f"value number {i}" for i in range(18)}
    env.update(amount=1234.5, items=["a", "b", "c"])
    template = "Dear customer,\n" + "".join(f"line {i}: {{field{i}}}\n" for i in range(18))
    template += "Total {round(amount * 1.2, 2)} for {len(items)} items.\n"
    return template, env


def fill_letters(fill, template, env):
    def run():
        for _ in range(10_000):
            fill(template, env)

    return run


def letter():
    template, env = letter_case()
    assert LineFill()(template, dict(env)) == replace_cycle(template, dict(env))

    def plain():
        for _ in range(10_000):
            replace_cycle(template, env)

    return best_of(3, plain), best_of(3, fill_letters(LineFill(), template, env))


def cpu_time(fn):
    start = time.process_time()
    fn()
    return time.process_time() - start


def letter_safe():
    template, env = letter_case()
    assert LineFill(safe=True)(template, env) == LineFill()(template, dict(env))
    default, safe = fill_letters(LineFill(), template, env), fill_letters(LineFill(safe=True), template, env)
    # Processor time, taken in turns: on a machine busy with other work the
    # clock on the wall measures the others too.
    best = [float("inf"), float("inf")]
    for _ in range(9):
        best = [min(best[0], cpu_time(default)), min(best[1], cpu_time(safe))]
    return best[0], best[1]


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
    cases = sys.argv[1:] or ["a", "b"]
    print(f"{'case':<42}{'plain cycle':>14}{'LineFill':>12}{'ratio':>9}")
    for key, name, run, target in [
        ("a", "(a) 20-placeholder letter x 10,000", letter, 5),
        ("b", "(b) 2 MB template, 100,000 placeholders", big_template, 50),
    ]:
        if key not in cases:
            continue
        plain, ours = run()
        ratio = plain / ours
        status = "ok" if ratio >= target else f"below {target}x"
        print(f"{name:<42}{plain:>13.3f}s{ours:>11.3f}s{ratio:>8.1f}x  {status}")
    if "a" in cases:
        default, safe = letter_safe()
        ratio = safe / default
        status = "ok" if ratio <= 1.5 else "above 1.5x"
        print(f"\n{'case (processor time)':<42}{'default':>14}{'safe=True':>12}{'ratio':>9}")
        print(f"{'(a) letter, safe=True against default':<42}{default:>13.3f}s{safe:>11.3f}s{ratio:>8.2f}x  {status}")


if __name__ == "__main__":
    main()
