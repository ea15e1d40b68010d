// stackle: co-adds a stack of N 2D FITS images pixel by pixel (the run is stackle_run).
#include "stackle.h"

int main(int argc, char** argv) {
    return stackle_run(argc, argv, stackle_band_rows_auto);
}
