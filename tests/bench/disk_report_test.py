"""The disk figure's judgement: the foreground beside a job is set against
the foreground alone around that very sample, so that a shared disk's drift
between samples neither fails a target that was met nor meets one that was
missed."""

import sys
import unittest
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "bench"))
from lullbench import disk  # noqa: E402


def figure(beside, alone):
    """A run of one scheduler and one job: `beside` the foreground's samples
    beside lullrun's job, as (iops, alone_iops or None); `alone` the samples
    taken alone apart."""
    samples = {"beside|none|None|alone": [{"iops": v, "others_mib_s": 0} for v in alone],
               "beside|none|direct|lullrun": [
                   {"iops": v, **({"alone_iops": a} if a else {}), "job_mib_s": 1,
                    "others_mib_s": 0} for v, a in beside]}
    return {"disk": "vda", "schedulers": ["none"], "kinds": ["direct"], "wrappers": ["lullrun"],
            "samples": samples}


class KeptShare(unittest.TestCase):
    def test_each_sample_is_set_against_the_foreground_alone_around_it(self):
        # The disk slowed down in the second and third rounds: every sample kept
        # 95 % of what the foreground did alone just then.
        run = figure([(19000, 20000), (14250, 15000), (13300, 14000)], [20000, 19000, 21000])
        self.assertAlmostEqual(disk.kept_share(run, "none", "direct", "lullrun"), 95.0)
        row = disk.Figures(run)
        row.beside_row("none", "direct", "lullrun")
        self.assertTrue(row.targets[0].met)
        self.assertIn("95–95 %", disk.summary(run).ours)

    def test_a_run_without_the_alone_around_each_sample_keeps_the_medians(self):
        run = figure([(9000, None), (10000, None), (11000, None)], [20000, 19000, 21000])
        self.assertAlmostEqual(disk.kept_share(run, "none", "direct", "lullrun"), 50.0)
        row = disk.Figures(run)
        row.beside_row("none", "direct", "lullrun")
        self.assertFalse(row.targets[0].met)

    def test_a_share_is_never_made_of_part_of_the_samples(self):
        run = figure([(10000, 10000), (10000, None), (10000, None)], [20000])
        self.assertAlmostEqual(disk.kept_share(run, "none", "direct", "lullrun"), 50.0)


if __name__ == "__main__":
    unittest.main()
