// var_main/partner.hpp: knowing the public store class's own methods.
//
// The public class TesselVar lives in a module of its own (tesselvar._core),
// which var_main never imports.  Once that module has been imported, its
// capsule names the descriptor objects that hold TesselVar's own `add`,
// `keys` and `get`; a type whose lookup of such a name gives that very
// object runs the class's own method, whatever its instances hold (the
// descriptors are data descriptors).  The fast paths that skip those calls
// (path walks, merges into nested stores) ask here first.
#pragma once

#include "runtime/ref.hpp"

namespace vm {

// Does `x.keys()` / `x.get(step)` run TesselVar's own methods?
bool partner_keys_and_get(PyTypeObject* tp) noexcept;

// Does `x.add(**entries)` run TesselVar's own `add`?
bool partner_add(PyTypeObject* tp) noexcept;

}  // namespace vm
