"""Eight threads on one store: every kind of operation interleaved with the
others at the smallest switch interval, in a child interpreter so that a
crash fails the test.  Afterwards every thread's own variables hold the last
values it stored."""

import json
import unittest

from support import run_python

HAMMER = r"""
import json, sys, threading, time
from tesselvar import TesselVar

class Slow:                               # Python code in the middle of walks
    def __repr__(self):
        return "Slow(%s)" % sum(range(50))

sys.setswitchinterval(1e-6)
s = TesselVar()
s.__dict__.update(slow=Slow(), also=[Slow()])
# Each thread runs for SECONDS and at least MIN_OPS operations: on a busy
# machine a thread may get little of the time, yet it must still write all
# of its names and meet the others.
THREADS, SECONDS, MIN_OPS = 8, 2.0, 200
start = threading.Barrier(THREADS)
report = {}

def work(i):
    names = [f"t{i}_{k}" for k in range(4)]
    last, counts, wrong, n = {}, {"ops": 0, "changed": 0}, [], 0
    start.wait()
    stop = time.monotonic() + SECONDS
    while n < MIN_OPS or time.monotonic() < stop:
        n += 1
        name = names[n % 4]
        op = n % 10
        try:
            if op == 0:
                setattr(s, name, n)
            elif op == 1:
                s._mv_set(name, n)
            elif op == 2:                 # dicts and lists: factory and add run
                s._mv_add({name: n, f"t{i}_l": [n, {"x": n}], "shared": {f"k{i}": n}})
                if n % 50 == 2:
                    s._mv_pop(f"t{i}_l")
            elif op == 3:
                s._mv_set_kwargs({name: n, f"t{i}_d": {"v": n}})
            elif op == 4:
                s._mv_keys(); s._mv_values(); s._mv_items()
            elif op == 5:
                s._mv_to_dict(n % 2)
            elif op == 6:
                s._mv_to_params(); s._mv_to_string(); repr(s)
            elif op == 7:
                s.__dict__[f"t{i}_tmp"] = n
                s._mv_pops((f"t{i}_tmp",))
                s._mv_pop(f"t{i}_tmp")
            elif op == 8:
                s._mv_get("$.shared"); s._mv_get(["shared"])
            if op in (0, 1, 2, 3):
                last[name] = n
            # Only this thread writes its own names: it reads back its value.
            got = s._mv_get(name, "absent")
            if got != last.get(name, "absent"):
                wrong.append((name, got, last.get(name)))
            if op == 3 and s._mv_get(f"t{i}_d")._mv_to_dict() != {"v": n}:
                wrong.append((f"t{i}_d", n))
        except RuntimeError as e:         # a walk met another thread's change
            if "changed" not in str(e):
                raise
            counts["changed"] += 1
        counts["ops"] += 1
    report[i] = {"counts": counts, "wrong": wrong[:5], "last": last}

threads = [threading.Thread(target=work, args=(i,)) for i in range(THREADS)]
for t in threads: t.start()
for t in threads: t.join()
final = {i: {name: s._mv_get(name) for name in r["last"]} for i, r in report.items()}
print(json.dumps({"report": report, "final": final, "shared": sorted(s.shared._mv_keys())}))
"""


class ThreadTest(unittest.TestCase):
    def test_eight_threads_one_store(self):
        r = run_python(HAMMER, timeout=300)
        self.assertNotIn("Fatal Python error", r.stderr)
        self.assertEqual(r.returncode, 0, r.stderr[-3000:])
        out = json.loads(r.stdout)
        self.assertEqual(sorted(out["report"]), [str(i) for i in range(8)])
        for i, rep in out["report"].items():
            with self.subTest(thread=i):
                self.assertGreater(rep["counts"]["ops"], 0)
                self.assertEqual(rep["wrong"], [])
                self.assertEqual(out["final"][i], rep["last"])
                self.assertEqual(len(rep["last"]), 4)
        self.assertEqual(out["shared"], [f"k{i}" for i in range(8)])


if __name__ == "__main__":
    unittest.main()
