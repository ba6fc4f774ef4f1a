#!/usr/bin/python3
"""Writes the expected frames of the committed layout problems, computed with kiwisolver.

    /usr/bin/python3 tests/data/layout/generate.py          # writes every NAME.expected.json
    /usr/bin/python3 tests/data/layout/generate.py --check  # fails if any written file would change

Run it with the system Python, which has the kiwisolver package (python3-kiwisolver); the C++
tests only read what it wrote. Each problem NAME.json in problems/ is the qm-ui input format,
restricted to what this model covers:

  * the window is a fixed rectangle at (0, 0) of the screen's size;
  * every view has left, top, width and height in window coordinates (right = left + width,
    centerX = left + width / 2, leading = left, trailing = right, likewise vertically);
  * a view's optional "intrinsicSize" {"width", "height"} adds, per axis,
    size <= intrinsic at the hugging priority and size >= intrinsic at the compression
    priority ("hugging" / "compression": {"horizontal", "vertical"}, 250 and 750 unless given);
  * constraints are explicit ({"item", "attribute", "relation", "toItem", "toAttribute",
    "multiplier", "constant", "priority"}; no "format" entries):
    item.attribute relation multiplier * toItem.toAttribute + constant;
  * "changes": [{"constraint": index, "constant": value}] move explicit constraints' constants
    one after the other.

Constraints are added in this order: the window's, then per view (in order) width <= and >=,
height <= and >= for its intrinsic size, then the explicit ones. A required constraint that
cannot be added is "broken" (its index); the frames are those of the problem without it.
Optional priorities weigh 10 ** (priority / 125), as the C++ solver's priorityWeight does.

A problem is refused unless its optimum is unique: the frames must not change when the
constraints are added in reverse order, nor when any single coordinate is pulled either way by
a constraint far weaker than any of the problem's own. After each change the same holds, and
removing and re-adding the changed constraint must give what a fresh solver gives.
"""
import json
import os
import sys

import kiwisolver as kiwi

HERE = os.path.dirname(os.path.abspath(__file__))
PROBLEMS = os.path.join(HERE, "problems")
TOLERANCE = 1e-7
PULL = 1e-4  # the weight of a probing pull; the weakest priority weighs 10 ** (1 / 125) > 1

ATTRIBUTES = {"left", "right", "top", "bottom", "leading", "trailing", "width", "height", "centerX",
              "centerY", "notAnAttribute"}


class ProblemError(Exception):
    pass


def strength(priority):
    if priority >= 1000:
        return kiwi.strength.required
    if not 0 < priority < 1000:
        raise ProblemError("priority %r out of range" % priority)
    return 10 ** (priority / 125.0)


class Model:
    """Variables of one solve; `order` reverses the constraints when asked."""

    def __init__(self, problem):
        self.problem = problem
        self.views = ["window"] + [v["name"] for v in problem["views"]]
        self.vars = {}

    def var(self, view, name):
        key = (view, name)
        if key not in self.vars:
            self.vars[key] = kiwi.Variable("%s.%s" % key)
        return self.vars[key]

    def attribute(self, view, attribute):
        if view not in self.views:
            raise ProblemError("unknown view %r" % view)
        left, top = self.var(view, "left"), self.var(view, "top")
        width, height = self.var(view, "width"), self.var(view, "height")
        return {
            "left": left + 0, "leading": left + 0, "right": left + width, "trailing": left + width,
            "top": top + 0, "bottom": top + height, "width": width + 0, "height": height + 0,
            "centerX": left + width / 2.0, "centerY": top + height / 2.0,
        }[attribute]

    def base_constraints(self):
        screen = self.problem["screen"]
        out = [self.var("window", "left") == 0, self.var("window", "top") == 0,
               self.var("window", "width") == screen["width"], self.var("window", "height") == screen["height"]]
        for view in self.problem["views"]:
            size = view.get("intrinsicSize")
            if not size:
                continue
            hugging = view.get("hugging", {})
            compression = view.get("compression", {})
            for axis, key, dimension in (("horizontal", "width", "width"), ("vertical", "height", "height")):
                if key not in size:
                    continue
                v = self.var(view["name"], dimension)
                out.append((v <= size[key]) | strength(hugging.get(axis, 250)))
                out.append((v >= size[key]) | strength(compression.get(axis, 750)))
        return out

    def explicit(self, entry, constant=None):
        if "format" in entry:
            raise ProblemError("format entries are not modelled")
        attribute = entry["attribute"]
        to_attribute = entry.get("toAttribute", "notAnAttribute")
        if attribute not in ATTRIBUTES or to_attribute not in ATTRIBUTES or attribute == "notAnAttribute":
            raise ProblemError("bad attribute in %r" % entry)
        lhs = self.attribute(entry["item"], attribute)
        c = entry.get("constant", 0) if constant is None else constant
        if entry.get("toItem") is None or to_attribute == "notAnAttribute":
            rhs = c
        else:
            rhs = self.attribute(entry["toItem"], to_attribute) * entry.get("multiplier", 1) + c
        relation = entry.get("relation", "==")
        if relation == "==":
            constraint = lhs == rhs
        elif relation == "<=":
            constraint = lhs <= rhs
        elif relation == ">=":
            constraint = lhs >= rhs
        else:
            raise ProblemError("bad relation %r" % relation)
        return constraint | strength(entry.get("priority", 1000))

    def frames(self):
        out = {}
        for view in self.views[1:]:
            out[view] = {"x": self.var(view, "left").value(), "y": self.var(view, "top").value(),
                         "width": self.var(view, "width").value(), "height": self.var(view, "height").value()}
        return out


def solve(problem, constants, reverse=False, skip=(), pull=None):
    """Frames and broken indices with the explicit constraints' constants in `constants`."""
    model = Model(problem)
    base = model.base_constraints()
    explicit = [(i, model.explicit(entry, constants[i])) for i, entry in enumerate(problem["constraints"])
                if i not in skip]
    items = [(None, c) for c in base] + explicit
    if reverse:
        items.reverse()
    solver = kiwi.Solver()
    broken = []
    for index, constraint in items:
        try:
            solver.addConstraint(constraint)
        except kiwi.UnsatisfiableConstraint:
            if index is None:
                raise ProblemError("an intrinsic or window constraint is unsatisfiable")
            broken.append(index)
    if pull is not None:
        view, name, target = pull
        solver.addConstraint((model.var(view, name) == target) | PULL)
    solver.updateVariables()
    return model.frames(), sorted(broken)


def differs(a, b):
    for view, frame in a.items():
        for key, value in frame.items():
            if abs(value - b[view][key]) > TOLERANCE:
                return "%s.%s: %r vs %r" % (view, key, value, b[view][key])
    return None


def check_unique(name, problem, constants, frames, broken):
    # kiwi may leave a solver that refused a constraint in another state: solve again without.
    clean, again = solve(problem, constants, skip=broken)
    if again:
        raise ProblemError("%s: constraints break only once others are gone: %r" % (name, again))
    if differs(frames, clean):
        raise ProblemError("%s: a refused constraint changed the answer" % name)
    reversed_frames, _ = solve(problem, constants, reverse=True, skip=broken)
    why = differs(frames, reversed_frames)
    if why:
        raise ProblemError("%s: the optimum is not unique (reverse order: %s)" % (name, why))
    for view, frame in frames.items():
        for key, var in (("x", "left"), ("y", "top"), ("width", "width"), ("height", "height")):
            for offset in (-1000.0, 1000.0):
                pulled, _ = solve(problem, constants, skip=broken, pull=(view, var, frame[key] + offset))
                why = differs(frames, pulled)
                if why:
                    raise ProblemError("%s: the optimum is not unique (%s.%s pulled: %s)" % (name, view, var, why))


def expected_for(name, problem):
    constants = [entry.get("constant", 0) for entry in problem["constraints"]]
    frames, broken = solve(problem, constants)
    check_unique(name, problem, constants, frames, broken)
    result = {"frames": frames, "broken": broken, "changes": []}

    # kiwi has no constant change: remove the constraint and add it again with the new one.
    model = Model(problem)
    solver = kiwi.Solver()
    live = {}
    for c in model.base_constraints():
        solver.addConstraint(c)
    for i, entry in enumerate(problem["constraints"]):
        if i in broken:
            continue
        live[i] = model.explicit(entry)
        solver.addConstraint(live[i])
    for change in problem.get("changes", []):
        index, constant = change["constraint"], change["constant"]
        if index in broken or index not in live:
            raise ProblemError("%s: a change of a broken constraint" % name)
        constants[index] = constant
        solver.removeConstraint(live[index])
        live[index] = model.explicit(problem["constraints"][index], constant)
        try:
            solver.addConstraint(live[index])
        except kiwi.UnsatisfiableConstraint:
            raise ProblemError("%s: change %r makes a required constraint unsatisfiable" % (name, change))
        solver.updateVariables()
        incremental = model.frames()
        fresh, fresh_broken = solve(problem, constants, skip=broken)
        if fresh_broken or differs(incremental, fresh):
            raise ProblemError("%s: after change %r a fresh solve differs" % (name, change))
        check_unique(name, problem, constants, incremental, broken)
        result["changes"].append({"frames": incremental})
    return result


def main():
    check = "--check" in sys.argv[1:]
    stale = []
    names = sorted(f[:-5] for f in os.listdir(PROBLEMS) if f.endswith(".json") and not f.endswith(".expected.json"))
    for name in names:
        with open(os.path.join(PROBLEMS, name + ".json")) as f:
            problem = json.load(f)
        try:
            result = expected_for(name, problem)
        except ProblemError as error:
            sys.exit("refused: %s" % error)
        text = json.dumps(result, indent=1, sort_keys=True) + "\n"
        path = os.path.join(PROBLEMS, name + ".expected.json")
        old = open(path).read() if os.path.exists(path) else None
        if old != text:
            stale.append(name)
            if not check:
                with open(path, "w") as f:
                    f.write(text)
        views = len(problem["views"])
        print("%-28s %3d views %3d constraints %d broken %d changes" % (
            name, views, len(problem["constraints"]), len(result["broken"]), len(result["changes"])))
    if check and stale:
        sys.exit("out of date: " + ", ".join(stale))


if __name__ == "__main__":
    main()
