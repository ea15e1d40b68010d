// The extension module downlink._downlink; the Python modules of the package wrap it.
#include "ext.h"

PYBIND11_MODULE(_downlink, m) {
    m.doc() = "liberrva and libintegrate over numpy arrays";
    downlink_ext::bind_errva(m);
    downlink_ext::bind_integrate(m);
}
