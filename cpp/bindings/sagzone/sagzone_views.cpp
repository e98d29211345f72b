// The read-only views of a fitted SagZone and its marginal plot.
#include "bindings/sagzone/sagzone_module.hpp"

namespace movra::sagzone {

void add_sagzone_views(bind::ClassBuilder& /*cls*/) {}

}  // namespace movra::sagzone
