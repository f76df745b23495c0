# SPDX-License-Identifier: MIT
"""Figures from sub-millisecond and many-thread runs: ticks chosen from the data, labels that
can be read (present, distinct, not on top of each other) and each timeline panel's scale."""

import unittest

from . import figures, testing


def boxes_overlap(labels, renderer):
    boxes = [label.get_window_extent(renderer) for label in labels]
    return any(a.overlaps(b) for i, a in enumerate(boxes) for b in boxes[i + 1:])


def visible_labels(axis, renderer):
    """The tick labels that are drawn: inside the axis's view and not empty."""
    low, high = sorted(axis.get_view_interval())
    return [tick.label1 for tick in axis.get_major_ticks()
            if tick.label1.get_visible() and tick.label1.get_text()
            and low <= tick.get_loc() <= high]


class Ticks(unittest.TestCase):
    def test_ticks_come_from_the_data(self):
        for low, high in ((0.21, 0.93), (0.42, 0.48), (1.3, 24), (0.9, 1200), (3.9, 8.2)):
            with self.subTest(low=low, high=high):
                ticks = figures.log_ticks(low, high)
                self.assertGreaterEqual(len(ticks), 3)
                self.assertLessEqual(len(ticks), 12)
                self.assertTrue(all(low <= t <= high for t in ticks))
                labels = [figures.tick_label(t) for t in ticks]
                self.assertEqual(len(set(labels)), len(labels))
        self.assertEqual(figures.linear_ticks(0, 132), [0, 20, 40, 60, 80, 100, 120])
        self.assertEqual([figures.tick_label(v) for v in (0.25, 4.5, 1000, 1270)],
                         ["0.25", "4.5", "1000", "1270"])


@unittest.skipUnless(figures.available(), "python3-matplotlib is not installed")
class Figures(unittest.TestCase):
    def render(self, fig):
        from matplotlib.backends.backend_agg import FigureCanvasAgg  # pylint: disable=import-outside-toplevel
        canvas = FigureCanvasAgg(fig)
        canvas.draw()
        return canvas.get_renderer()

    def test_sub_millisecond_runs(self):
        _, _, results = testing.fake_results(
            2, testing.steady(serial=0.25e-3, parallel=0.6e-3))
        fig = figures.whole_process_figure(results)
        renderer = self.render(fig)
        ax = fig.axes[0]
        labels = visible_labels(ax.xaxis, renderer)
        texts = [label.get_text() for label in labels]
        self.assertGreaterEqual(len(texts), 3, texts)
        self.assertEqual(len(set(texts)), len(texts))
        self.assertTrue(all(float(t) < 1 for t in texts), texts)
        self.assertFalse(boxes_overlap(labels, renderer))
        names = [label.get_text() for label in visible_labels(ax.yaxis, renderer)]
        self.assertEqual(names, [c.name for c in reversed(results.configs)])
        self.assertFalse(boxes_overlap(visible_labels(ax.yaxis, renderer), renderer))

        timeline = figures.timeline_figure(results, 2)
        self.render(timeline)
        for ax in timeline.axes:
            if ax.get_visible():
                self.assertIn("µs since the region started", ax.get_xlabel())
                self.assertRegex(ax.get_title(loc="left"), r": region [0-9.]+ µs$")

    def test_four_times_thirty_two_threads(self):
        _, _, results = testing.fake_results(32, testing.steady(parallel=12e-3))
        fig = figures.timeline_figure(results, 32)
        renderer = self.render(fig)
        panels = [ax for ax in fig.axes if ax.get_visible()]
        self.assertEqual(len(panels), 8)
        many = [ax for ax in panels if "T=128" in ax.get_title(loc="left")]
        self.assertEqual(len(many), 2)
        for ax in panels:
            with self.subTest(ax.get_title(loc="left")):
                threads = visible_labels(ax.yaxis, renderer)
                self.assertGreaterEqual(len(threads), 2 if "T=2" in ax.get_title(loc="left") else 3)
                self.assertLessEqual(len(threads), 8)
                self.assertFalse(boxes_overlap(threads, renderer))
                times = visible_labels(ax.xaxis, renderer)
                self.assertGreaterEqual(len(times), 3)
                self.assertFalse(boxes_overlap(times, renderer))
                self.assertIn("ms since the region started", ax.get_xlabel())
                self.assertRegex(ax.get_title(loc="left"), r": region [0-9.]+ ms$")
        for ax in many:
            self.assertLessEqual(int(max(t.get_text() for t in visible_labels(ax.yaxis, renderer)
                                         if t.get_text().isdigit())), 127)
        rows = figures.whole_process_figure(results).axes[0].get_yticklabels()
        self.assertEqual(len(rows), len(results.configs))

    def test_svg_text_is_stable(self):
        _, _, results = testing.fake_results(1, testing.steady(), runtimes=("libgomp",))
        first = figures.draw(results, 1)
        self.assertEqual(sorted(first), sorted(figures.FIGURE_NAMES))
        self.assertTrue(all(text.lstrip().startswith("<?xml") for text in first.values()))
        self.assertEqual(first, figures.draw(results, 1))


if __name__ == "__main__":
    testing.main()
