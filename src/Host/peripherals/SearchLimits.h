// Search range limits: keeps the three Float64 nodes of the resonance search consistent, all in tesla:
// measure_parms/search/low and measure_parms/search/high (the window searched) and
// measure_parms/search/value (the expected field, always within [low, high]).
//
//   SetSearchRangeFromProbe  a newly selected probe's field range becomes the allowed range and the
//                            default of both limits (channel selection);
//   SetSearchHighLimit       after a host stored a new high limit: the low limit and the expected
//   SetSearchLowLimit        field follow, so the limit just set always wins (SCPI commands).
//
// Run on the calling thread (the parser thread). Every attribute is read and written through the
// node's own accessors, each under the tree lock by itself; the setters store only changed values and
// notify the node's subscribers after each change. Nothing is done while the nodes are not bound.
#pragma once

namespace Torvex {

// Sets both limits' minimum and maximum to [lowest, highest] and their defaults and values to lowest
// and highest, then the expected field's range to the limits, moving its value into it. A range that
// is not finite or whose lowest field lies above its highest is refused with a log line and changes
// nothing.
void SetSearchRangeFromProbe(double lowest, double highest);

// After a new high limit: a low limit above it is pulled down to it; the expected field's range
// becomes [low, high] and its value is moved into it.
void SetSearchHighLimit();

// After a new low limit: a high limit below it is pushed up to it; the expected field's range becomes
// [low, high] and its value is moved into it.
void SetSearchLowLimit();

}  // namespace Torvex
