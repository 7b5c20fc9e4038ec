#include "toolkit/mesh_options.hpp"

#include "toolkit/args.hpp"
#include "toolkit/tool_error.hpp"

namespace velmora::tools::mesh_detail {

namespace {

V3 v3(const std::vector<double>& v) {
  return {v[0], v[1], v[2]};
}

// Options that set one thing: given twice, the second would silently
// replace the first.
const std::set<std::string> kOnce = {"--radius", "--axes",  "--radii", "--grid", "--centre",
                                     "--center", "--elements", "--refine", "--frequency",
                                     "--size",   "--mu",    "--title", "--dir"};
const std::set<std::string> kOncePerSelection = {"--velocity",      "--rotation",
                                                 "--about",         "--traction",
                                                 "--velocity-expr", "--traction-expr",
                                                 "--codes"};

Options parse_words(const std::vector<std::string>& raw) {
  const std::vector<std::string> a = split_assignments(raw);
  Options o;
  o.conditions.emplace_back();
  std::size_t i = 0;
  auto value = [&](const std::string& opt) -> const std::string& {
    if (i + 1 >= a.size()) throw ToolError(opt + " needs a value");
    return a[++i];
  };
  for (; i < a.size(); ++i) {
    const std::string& w = a[i];
    Condition& cond = o.conditions.back();
    if (kOnce.count(w)) {
      const std::string key = w == "--center" ? "--centre" : w;
      if (!o.given.insert(key).second)
        throw ToolError(w + " given twice: the second would replace the first");
    }
    if (kOncePerSelection.count(w) && !cond.given.insert(w).second)
      throw ToolError(w + " given twice for " + cond.label() +
                      ": the second would replace the first (start another selection with "
                      "--body or --group)");
    if (w == "--radius") {
      o.radius = parse_real(value(w), w);
    } else if (w == "--axes") {
      const std::string& t = value(w);
      o.axes = parse_reals(t, std::count(t.begin(), t.end(), ',') == 1 ? 2 : 3, w);
    } else if (w == "--radii") {
      o.radii = parse_reals(value(w), 2, w);
    } else if (w == "--grid") {
      o.grid = parse_reals(value(w), 2, w);
    } else if (w == "--centre" || w == "--center") {
      o.centre = v3(parse_reals(value(w), 3, w));
    } else if (w == "--sphere") {
      const std::vector<double> s = parse_reals(value(w), 4, w);
      o.spheres.push_back({s[0], s[1], s[2], s[3]});
    } else if (w == "--elements") {
      o.elements = parse_int(value(w), w);
    } else if (w == "--refine") {
      o.refine = parse_int(value(w), w);
    } else if (w == "--frequency") {
      o.frequency = parse_int(value(w), w);
    } else if (w == "--size") {
      o.size = parse_real(value(w), w);
    } else if (w == "--mu") {
      o.mu = parse_real(value(w), w);
    } else if (w == "--title") {
      o.title = value(w);
    } else if (w == "--dir") {
      o.dir = value(w);
    } else if (w == "--new-cnd") {
      o.new_cnd = true;
    } else if (w == "--quiet") {
      o.quiet = true;
    } else if (w == "--verbose") {
      o.verbose_gmsh = true;
    } else if (w == "--body") {
      Condition c;
      c.target = Condition::Target::kBody;
      c.body = parse_int(value(w), w);
      o.conditions.push_back(c);
    } else if (w == "--group") {
      Condition c;
      c.target = Condition::Target::kGroup;
      c.group = value(w);
      o.conditions.push_back(c);
    } else if (w == "--velocity") {
      cond.velocity = v3(parse_reals(value(w), 3, w));
    } else if (w == "--rotation") {
      cond.rotation = v3(parse_reals(value(w), 3, w));
    } else if (w == "--about") {
      cond.about = v3(parse_reals(value(w), 3, w));
    } else if (w == "--traction") {
      cond.traction = v3(parse_reals(value(w), 3, w));
    } else if (w == "--velocity-expr") {
      cond.velocity_expr = parse_expressions(value(w), w);
    } else if (w == "--traction-expr") {
      cond.traction_expr = parse_expressions(value(w), w);
    } else if (w == "--codes") {
      cond.codes = parse_codes(value(w), w);
    } else if (w == "--interior") {
      cond.interior = true;
    } else if (w.rfind("-", 0) == 0 && w.size() > 1) {
      throw ToolError("unknown option " + w + " (see velmora-mesh --help)");
    } else if (o.shape.empty()) {
      o.shape = w;
    } else {
      throw ToolError("unexpected argument \"" + w + "\": one shape or file at a time");
    }
  }
  if (o.shape.empty()) throw ToolError("no shape or file given (see velmora-mesh --help)");
  for (const Condition& c : o.conditions) {
    if (c.velocity_expr && (c.velocity || c.rotation))
      throw ToolError("--velocity-expr replaces --velocity and --rotation: give one of them (" +
                      c.label() + ")");
    if (c.traction_expr && c.traction)
      throw ToolError("--traction-expr replaces --traction: give one of them (" + c.label() + ")");
    if (c.has_traction() && c.has_velocity() && !c.codes)
      throw ToolError(
          "a selection takes either a traction or a rigid motion, not both, unless --codes "
          "says which component takes which (" + c.label() + ")");
  }
  if (o.mu && !(*o.mu > 0)) throw ToolError("--mu must be positive");
  int given = (o.elements ? 1 : 0) + (o.refine ? 1 : 0) + (o.frequency ? 1 : 0) + (o.size ? 1 : 0) +
              (o.grid ? 1 : 0);
  if (given > 1)
    throw ToolError("give at most one of --elements, --refine, --frequency, --size, --grid");
  if (o.frequency && o.shape != "sphere") throw ToolError("--frequency applies to a sphere only");
  if (o.frequency && (*o.frequency < 1 || *o.frequency > kMaxFrequency))
    throw ToolError("--frequency must lie in 1.." + std::to_string(kMaxFrequency));
  if (o.elements && *o.elements < 1) throw ToolError("--elements must be at least 1");
  if (o.size && !(*o.size > 0)) throw ToolError("--size must be positive");
  if (o.refine && (*o.refine < 0 || *o.refine > kMaxRefine))
    throw ToolError("--refine must lie in 0.." + std::to_string(kMaxRefine));
  return o;
}

}  // namespace

// Every problem with the words themselves is a usage error.
Options parse(const std::vector<std::string>& raw) {
  try {
    return parse_words(raw);
  } catch (const UsageError&) {
    throw;
  } catch (const ToolError& e) {
    throw UsageError(e.what());
  }
}

}  // namespace velmora::tools::mesh_detail
