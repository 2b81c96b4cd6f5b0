// The node's electronic data sheet (CiA 306 EDS), generated from the firmware's own object
// dictionary table (firmware/canopen/object_dictionary.hpp): names, data types from the size
// codes, access from the accessors, image values as defaults ($NODEID where the slave derives a
// value from its node-ID), PDO-mappable flags, and comments on where the node departs from what
// masters commonly assume. The shipped copy is sim/data/tavrix.eds.
#pragma once

#include <ostream>

namespace tavrix::tools {

// Writes the whole EDS. The output depends on nothing but the table, so it is reproducible.
void writeEds(std::ostream& out);

}  // namespace tavrix::tools
