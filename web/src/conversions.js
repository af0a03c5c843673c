// The page's conversions, in the order the command line lists them, from
// conversions.json, which the browser test reads too. Each has:
// - program: the tool's name, which is also the name of its module in the
//   page's sources and the value of its checkbox (input[name=tool]);
// - label: what the page calls it, on its checkbox and above its results;
// - suffixes: what the tool adds to the input's name, shown on the checkbox;
// - previewed: whether its pictures get a small preview (the composed ones;
//   the split pictures are the camera's own).
// A converter runs the ticked ones on each file in this order.
import list from "../conversions.json" with { type: "json" };

export const CONVERSIONS = list;
