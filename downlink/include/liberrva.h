/* All public headers of liberrva. */
#ifndef DOWNLINK_LIBERRVA_H
#define DOWNLINK_LIBERRVA_H

#include "nanvalue.h"
#include "errva.h"
#include "banded.h"
#include "tridiagonal.h"
#include "tokenize.h"
#include "heapsort.h"
#include "ugran.h"
#include "splinefunc.h"

#endif
