# SPDX-License-Identifier: MIT
"""The figures: one time scale for the phases, the growth plotted where the means are, tick
labels that can be read, and SVG files that stay small and the same from run to run."""

import unittest

from . import figures, test_fakes


def labels(axis):
    """The texts of the major tick labels drawn inside the axis's view."""
    low, high = sorted(axis.get_view_interval())
    return [tick.label1.get_text() for tick in axis.get_major_ticks()
            if tick.label1.get_visible() and low <= tick.get_loc() <= high]


@unittest.skipUnless(figures.AVAILABLE, "python3-matplotlib is not installed")
class Figures(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        # A full run's worth of runs on 2 CPUs, 10 rounds of 30, from 0.25 ms to 70 ms; each
        # runtime and setting grows at its own rate.
        level = test_fakes.distinct(0.25e-3)

        def wall(config, r, i):
            rate = 30e-6 * (1 + (config.runtime == "libomp") + 0.5 * (config.setting == "passive"))
            return level(config, r, i) + rate * config.threads

        cls.samples, cls.results = test_fakes.fake_results(2, wall, rounds=10, runs=30)
        cls.svg = figures.draw(cls.results, 2)

    def test_phases_on_one_scale(self):
        fig = figures.phase_figure(self.results)
        fig.canvas.draw()
        (ax,) = fig.axes
        # One axes, so one scale; each bar ends where its row's phases add up.
        rows = dict(zip((t.get_text() for t in ax.get_yticklabels()), ax.get_yticks()))
        self.assertEqual(len(rows), 11)
        for name in ("libgomp T=2 passive", "libomp T=2 default"):
            ends = [p.get_x() + p.get_width() for p in ax.patches
                    if abs(p.get_y() + p.get_height() / 2 - rows[name]) < 1e-9]
            phases = self.results.phases[name]
            self.assertAlmostEqual(max(ends), sum(phases[k] for k in (
                "startup", "team_start", "body", "region_end", "after")) * 1e3)

    def test_growth_against_the_team_on_log_scales(self):
        fig = figures.growth_figure(self.results, 2)
        fig.canvas.draw()
        whole, start = fig.axes[:2]
        for ax in (whole, start):
            self.assertEqual((ax.get_xscale(), ax.get_yscale()), ("log", "log"))
            for axis in (ax.xaxis, ax.yaxis):
                texts = labels(axis)
                self.assertGreaterEqual(len(texts), 3, texts)
                self.assertEqual(len(set(texts)), len(texts), texts)
                for text in texts:
                    float(text)  # a plain number, not a power of ten
        plotted = {c.get_label(): c.lines[0] for c in whole.containers}
        self.assertEqual(sorted(plotted), ["libgomp default", "libgomp passive",
                                           "libomp default", "libomp passive"])
        for label, line in plotted.items():
            runtime, setting = label.split(" ", 1)
            with self.subTest(label):
                self.assertEqual(list(line.get_xdata()),
                                 [1, 2, 4, 8, 16, 32, 64, 128, 256, 512, 1024])
                self.assertAlmostEqual(line.get_ydata()[-1], self.results.whole[
                    f"{runtime} T=1024 {setting}"].mean[0] * 1e3)

    def test_svg_files_are_small_and_stable(self):
        self.assertEqual(sorted(self.svg), sorted(figures.FIGURES))
        for name, text in self.svg.items():
            with self.subTest(name):
                self.assertTrue(text.lstrip().startswith("<?xml"))
                # Each text drawn is preceded by a comment that holds it.
                self.assertIn(f"<!-- {figures.FIGURES[name]} -->", text)
                self.assertLess(len(text.encode()), 300_000)
        self.assertEqual(self.svg, figures.draw(self.results, 2))


if __name__ == "__main__":
    unittest.main()
