// What Python reaches on a ZuDataFIle instance: its attributes and methods.
#pragma once

#include "binding/py.h"

namespace zu::py {

// The method table (get_channel_data, get_channels, get_channel_units) and
// the attribute table (location, header), each ending in a null entry.
extern PyMethodDef kDataFileMethods[];
extern PyGetSetDef kDataFileGetSet[];

}  // namespace zu::py
