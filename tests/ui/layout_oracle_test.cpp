// The solver against an independent one: tests/data/layout/problems holds layout problems in
// the qm-ui input format and, next to each, the frames kiwisolver computed for it
// (generate.py). Each problem is solved from scratch, then its constant changes are applied
// incrementally, and every frame must match within 1e-6 points.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "qmplatform/json.hpp"
#include "qmui/layout_solver.hpp"

namespace layout = qm::platform::layout;
namespace json = qm::platform::json;
using layout::Constraint;
using layout::Expression;
using layout::Variable;

namespace {

std::filesystem::path problemsDir() { return std::filesystem::path(QM_TEST_DATA_DIR) / "layout" / "problems"; }

qm::Value readJSON(const std::filesystem::path& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    std::string error;
    auto value = json::parse(text.str(), {}, &error);
    EXPECT_TRUE(value) << path << ": " << error;
    return value ? *value : qm::Value();
}

double number(const qm::Value& v, double fallback) { return v.isInteger() || v.isReal() ? v.doubleValue() : fallback; }

struct Frame {
    Variable left, top, width, height;
};

// The adapter the view tree will grow into: views become four variables, the window a fixed
// rectangle, intrinsic sizes hugging and compression constraints, entries constraints.
class Problem {
public:
    explicit Problem(const qm::Value& problem) : problem_(problem) {
        addFrame("window");
        for (const auto& view : problem["views"].arrayItems()) addFrame(view["name"].string());
        const auto& screen = problem["screen"];
        const Frame& window = frames_.at("window");
        base_ = {window.left == 0, window.top == 0, window.width == screen["width"].doubleValue(),
                 window.height == screen["height"].doubleValue()};
        for (const auto& view : problem["views"].arrayItems()) {
            const auto& size = view["intrinsicSize"];
            if (!size.isDictionary()) continue;
            const Frame& frame = frames_.at(view["name"].string());
            for (auto [axis, key, variable] : {std::tuple{"horizontal", "width", frame.width},
                                               std::tuple{"vertical", "height", frame.height}}) {
                if (!size.contains(key)) continue;
                const double intrinsic = size[key].doubleValue();
                base_.push_back((variable <= intrinsic).withPriority(number(view["hugging"][axis], 250)));
                base_.push_back((variable >= intrinsic).withPriority(number(view["compression"][axis], 750)));
            }
        }
        for (const auto& entry : problem["constraints"].arrayItems()) explicit_.push_back(makeConstraint(entry));
    }

    const std::vector<Constraint>& base() const { return base_; }
    const std::vector<Constraint>& explicitConstraints() const { return explicit_; }
    const std::map<std::string, Frame>& frames() const { return frames_; }

private:
    void addFrame(const std::string& name) {
        frames_[name] = Frame{Variable(name + ".left"), Variable(name + ".top"), Variable(name + ".width"),
                              Variable(name + ".height")};
    }

    Expression attribute(const std::string& item, const std::string& name) const {
        const Frame& f = frames_.at(item);
        if (name == "left" || name == "leading") return f.left;
        if (name == "right" || name == "trailing") return f.left + f.width;
        if (name == "top") return f.top;
        if (name == "bottom") return f.top + f.height;
        if (name == "width") return f.width;
        if (name == "height") return f.height;
        if (name == "centerX") return f.left + f.width / 2;
        if (name == "centerY") return f.top + f.height / 2;
        ADD_FAILURE() << "attribute " << name;
        return {};
    }

    Constraint makeConstraint(const qm::Value& entry) const {
        const Expression lhs = attribute(entry["item"].string(), entry["attribute"].string());
        Expression rhs = number(entry["constant"], 0);
        const std::string toAttribute = entry["toAttribute"].isString() ? entry["toAttribute"].string() : "notAnAttribute";
        if (entry["toItem"].isString() && toAttribute != "notAnAttribute")
            rhs = attribute(entry["toItem"].string(), toAttribute) * number(entry["multiplier"], 1) + rhs;
        const std::string relation = entry["relation"].isString() ? entry["relation"].string() : "==";
        const Constraint c = relation == "<=" ? lhs <= rhs : relation == ">=" ? lhs >= rhs : lhs == rhs;
        return c.withPriority(number(entry["priority"], 1000));
    }

    qm::Value problem_;
    std::map<std::string, Frame> frames_;
    std::vector<Constraint> base_, explicit_;
};

void expectFrames(const Problem& problem, const qm::Value& expected, const std::string& when) {
    ASSERT_EQ(expected.count(), problem.frames().size() - 1) << when;
    for (const auto& [name, want] : expected.dictionaryItems()) {
        const Frame& got = problem.frames().at(name);
        EXPECT_NEAR(got.left.value(), want["x"].doubleValue(), 1e-6) << when << ": " << name << ".x";
        EXPECT_NEAR(got.top.value(), want["y"].doubleValue(), 1e-6) << when << ": " << name << ".y";
        EXPECT_NEAR(got.width.value(), want["width"].doubleValue(), 1e-6) << when << ": " << name << ".width";
        EXPECT_NEAR(got.height.value(), want["height"].doubleValue(), 1e-6) << when << ": " << name << ".height";
    }
}

}  // namespace

TEST(LayoutOracle, CommittedProblemsMatchTheIndependentSolver) {
    std::vector<std::filesystem::path> paths;
    for (const auto& entry : std::filesystem::directory_iterator(problemsDir())) {
        const std::string name = entry.path().filename().string();
        if (name.ends_with(".json") && !name.ends_with(".expected.json")) paths.push_back(entry.path());
    }
    std::sort(paths.begin(), paths.end());
    ASSERT_GE(paths.size(), 25u);

    for (const auto& path : paths) {
        const std::string name = path.stem().string();
        SCOPED_TRACE(name);
        const qm::Value input = readJSON(path);
        auto expectedPath = path;
        expectedPath.replace_extension(".expected.json");
        const qm::Value expected = readJSON(expectedPath);

        Problem problem(input);
        layout::Solver solver;
        for (const auto& c : problem.base()) ASSERT_TRUE(solver.addConstraint(c)) << c.description();
        std::vector<long long> broken;
        for (std::size_t i = 0; i < problem.explicitConstraints().size(); ++i) {
            auto result = solver.addConstraint(problem.explicitConstraints()[i]);
            if (result.status == layout::SolverStatus::Unsatisfiable)
                broken.push_back(static_cast<long long>(i));
            else
                ASSERT_TRUE(result) << result.message;
        }
        std::vector<long long> wantBroken;
        for (const auto& index : expected["broken"].arrayItems()) wantBroken.push_back(index.integerValue());
        EXPECT_EQ(broken, wantBroken);
        solver.updateVariables();
        expectFrames(problem, expected["frames"], "from scratch");

        const auto& changes = input["changes"].arrayItems();
        ASSERT_EQ(changes.size(), expected["changes"].count());
        for (std::size_t i = 0; i < changes.size(); ++i) {
            const auto& c = problem.explicitConstraints().at(static_cast<std::size_t>(changes[i]["constraint"].integerValue()));
            // item.attribute relation multiplier·toItem.toAttribute + constant, held as lhs − rhs.
            ASSERT_TRUE(solver.changeConstant(c, -changes[i]["constant"].doubleValue()));
            solver.updateVariables();
            expectFrames(problem, expected["changes"][i]["frames"], "after change " + std::to_string(i));
        }
    }
}
