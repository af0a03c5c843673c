// The page's conversions, in the order the command line lists them, from
// conversions.json, which the browser test reads too. Each has:
// - program: the tool's name, which is also the name of its module in the
//   page's sources and the value of its checkbox (input[name=tool]);
// - label: what the page calls it, on its checkbox and above its results;
// - suffixes: what the tool adds to the input's name, shown on the checkbox;
// - previewed: whether its pictures get a small preview (the composed ones;
//   the split pictures are the camera's own);
// - ticked: false where its checkbox is not ticked at first;
// - apart: its module is large, and lives in a sources file of its own
//   (sources-PROGRAM.js), built with WebAssembly SIMD only, which the page
//   loads once the conversion is ticked; where the engine has no SIMD, the
//   conversion is not offered;
// - reports: how many lines its standard error ends with when it succeeds,
//   its own report of what it did, which are no warnings (those of the JPEG
//   library come before them);
// - feeds: its one output is what the conversions after it convert (the
//   aligned pair), named as the command line would name theirs from it; where
//   it makes nothing, they are not made.
// A converter runs the ticked ones on each file in this order.
import list from "../conversions.json" with { type: "json" };

export const CONVERSIONS = list;
