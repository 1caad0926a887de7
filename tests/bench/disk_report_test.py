"""The disk figure sets the foreground beside a job against the foreground
alone around that very sample: a shared disk's drift between samples must
neither fail a target that was met nor meet one that was missed."""

import sys
import unittest
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "bench"))
from lullbench import disk  # noqa: E402


def judged(beside, alone):
    """The share kept beside lullrun's job and whether its target is met, for
    samples (iops, alone_iops or None) and samples taken alone apart."""
    samples = {"beside|none|None|alone": [{"iops": v} for v in alone],
               "beside|none|direct|lullrun": [
                   {"iops": v, "job_mib_s": 1, "others_mib_s": 0,
                    **({"alone_iops": a} if a else {})} for v, a in beside]}
    run = {"disk": "vda", "schedulers": ["none"], "kinds": ["direct"], "wrappers": ["lullrun"],
           "samples": samples}
    figures = disk.Figures(run)
    figures.beside_row("none", "direct", "lullrun")
    return disk.kept_share(run, "none", "direct", "lullrun"), figures.targets[0].met, run


class KeptShare(unittest.TestCase):
    def test_each_sample_against_the_foreground_alone_around_it(self):
        # The disk slowed down in the later rounds; each kept 95 % of its rate then.
        kept, met, run = judged([(19000, 20000), (14250, 15000), (13300, 14000)],
                                [20000, 19000, 21000])
        self.assertEqual((round(kept), met), (95, True))
        self.assertIn("95–95 %", disk.summary(run).ours)

    def test_without_the_foreground_alone_around_every_sample_the_medians(self):
        self.assertEqual(judged([(9000, None), (10000, None), (11000, None)], [20000])[:2],
                         (50.0, False))
        self.assertEqual(judged([(10000, 10000), (10000, None)], [20000])[:2], (50.0, False))


class WakeUps(unittest.TestCase):
    def test_a_window_may_hold_one_more_tick_than_its_length_gives(self):
        self.assertTrue(disk.at_most_per_minute(449 * 60 / 1792, 1792, 15))
        self.assertFalse(disk.at_most_per_minute(450 * 60 / 1792, 1792, 15))


if __name__ == "__main__":
    unittest.main()
