"""The figures a scenario measured: a table for people, one JSON object per line for programs, and, with
--check, each figure against its target."""

import json
import math
import sys

OPERATORS = {
    "<=": lambda value, bound: value <= bound,
    ">=": lambda value, bound: value >= bound,
    "==": lambda value, bound: value == bound,
}


def median(values):
    values = sorted(v for v in values if v is not None)
    if not values:
        return None
    middle = len(values) // 2
    return values[middle] if len(values) % 2 else (values[middle - 1] + values[middle]) / 2


def percentile(values, fraction):
    values = sorted(v for v in values if v is not None)
    if not values:
        return None
    return values[min(len(values) - 1, int(math.ceil(fraction * len(values))) - 1)]


class Figure:
    def __init__(self, name, value, unit, meaning, target=None):
        self.name = name
        self.value = value  # a number, a word, or None for "did not happen"
        self.unit = unit
        self.meaning = meaning
        self.target = target  # (operator, bound) or None

    def met(self):
        if self.target is None:
            return None
        operator, bound = self.target
        if isinstance(self.value, bool) or isinstance(bound, bool):
            return operator == "==" and self.value == bound
        if not isinstance(self.value, (int, float)):
            return False  # never happened, or not measured: a target is not met by nothing
        return OPERATORS[operator](self.value, bound)

    def shown(self):
        if self.value is None:
            return "never"
        if isinstance(self.value, bool):
            return "yes" if self.value else "no"
        if isinstance(self.value, float):
            magnitude = abs(self.value)
            if magnitude >= 100:
                return "%.0f" % self.value
            if magnitude >= 10:
                return "%.1f" % self.value
            if magnitude >= 0.1 or self.value == 0:
                return "%.2f" % self.value
            return "%.3g" % self.value
        return str(self.value)

    def target_text(self):
        if self.target is None:
            return ""
        operator, bound = self.target
        if isinstance(bound, bool):
            bound = "yes" if bound else "no"
        return "%s %s" % (operator, bound)


class Report:
    def __init__(self, scenario, check, json_file=None):
        self.scenario = scenario
        self.check = check
        self.json_file = json_file
        self.figures = []
        self.notes = []
        self.seconds = None  # how long the scenario took

    def add(self, name, value, unit, meaning, target=None):
        self.figures.append(Figure(name, value, unit, meaning, target))

    def note(self, text):
        self.notes.append(text)

    def misses(self):
        return [f for f in self.figures if f.target is not None and not f.met()]

    def print(self, out=sys.stdout):
        title = "scenario %s" % self.scenario
        if self.seconds is not None:
            title += " (ran %.*f s)" % (1 if self.seconds < 10 else 0, self.seconds)
        rows = [("figure", "value", "unit", "target" if self.check else "", "meaning")]
        for f in self.figures:
            target = ""
            if self.check and f.target is not None:
                target = f.target_text() + ("  ok" if f.met() else "  MISS")
            rows.append((f.name, f.shown(), f.unit, target, f.meaning))
        widths = [max(len(row[i]) for row in rows) for i in range(4)]
        out.write("\n%s\n" % title)
        rule = "-" * (sum(widths) + 4 * 3 + 30)
        out.write(rule + "\n")
        for index, row in enumerate(rows):
            cells = [row[0].ljust(widths[0]), row[1].rjust(widths[1]), row[2].ljust(widths[2])]
            if self.check:
                cells.append(row[3].ljust(widths[3]))
            cells.append(row[4])
            out.write("  ".join(cells).rstrip() + "\n")
            if index == 0:
                out.write(rule + "\n")
        out.write(rule + "\n")
        for text in self.notes:
            out.write("note: %s\n" % text)
        lines = [json.dumps(self.record(f), sort_keys=False) for f in self.figures]
        for line in lines:
            out.write(line + "\n")
        out.flush()
        if self.json_file:
            with open(self.json_file, "a") as sink:
                for line in lines:
                    sink.write(line + "\n")

    def record(self, figure):
        value = figure.value
        if isinstance(value, float):
            value = float("%.4g" % value)
        record = {"scenario": self.scenario, "figure": figure.name, "value": value, "unit": figure.unit}
        if figure.target is not None:
            record["target"] = figure.target_text()
            record["met"] = figure.met()
        return record
