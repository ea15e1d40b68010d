// The processing log stream: one header line per run, blocks and free lines appended.
#include "plenor.h"
#include "testkit.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

TEST(PlenorLog, LogLineAndBlockShareOneHeaderAndAppend) {
    testkit::TempDir dir;
    const std::string path = dir.file("run.log");
    testkit::write_text(path, "earlier run\n");
    file_names fn;
    run_control rc;
    image_dims dims;
    plenor_init_constants(&fn, &rc, &dims);
    std::strcpy(fn.Processing_Log_File, path.c_str());
    std::strcpy(fn.FITS_Output_File, "!out.fits");

    write_log_line(nullptr, &fn);
    EXPECT_EQ(testkit::read_text(path), "earlier run\n");
    write_log_line("first note", &fn);
    plenor_write_log(&fn, &rc);
    plenor_write_log(&fn, &rc);

    const std::string log = testkit::read_text(path);
    EXPECT_EQ(log.rfind("earlier run\nPlenor Version 1.5\nplenor log:first note\n"
                        "Namelist File  = \nInput DCE = \nOutput DCE = !out.fits\n",
                        0),
              0u);
    EXPECT_EQ(testkit::count_of(log, "Plenor Version 1.5\n"), 1);
    EXPECT_EQ(testkit::count_of(log, "Pmask Mask = 128\nDmask File = \nDmask Mask = 16384\n"), 2);
    EXPECT_EQ(testkit::count_of(log, "Processing Log File = " + path + "\nTime = "), 2);
}

// A log on a full device is cut short: the run fails with the write-failure code of the output
// stage, unless an earlier failure holds the status.  The device stays a device.
TEST(PlenorLog, LogCutShortFailsTheRunKeepingAnEarlierFailure) {
    file_names fn;
    run_control rc;
    image_dims dims;
    plenor_init_constants(&fn, &rc, &dims);
    std::strcpy(fn.Processing_Log_File, "/dev/full");
    EXPECT_EQ(plenor_write_log(&fn, &rc), -1);
    EXPECT_EQ(rc.status, 0x1E0000 | 0x1000 | 106);

    rc.status = 0x1C0011;
    EXPECT_EQ(plenor_write_log(&fn, &rc), -1);
    EXPECT_EQ(rc.status, 0x1C0011);

    std::strcpy(fn.Processing_Log_File, "/dev/null");
    rc.status = 0;
    EXPECT_EQ(plenor_write_log(&fn, &rc), 0);
    EXPECT_EQ(rc.status, 0);
}
