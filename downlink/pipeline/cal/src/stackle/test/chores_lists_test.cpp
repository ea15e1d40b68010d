// The namelist settings section and the file-list readers on small text files.
#include "stackle.h"

#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "testkit.h"

namespace {

using Names = std::vector<std::string>;

struct ChoresLists : testing::Test {
    testkit::TempDir dir;
    std::string out, first;

    std::string file(const std::string& name, const std::string& text) {
        testkit::write_text(dir.file(name), text);
        return dir.file(name);
    }
    // count_filenames; the first name goes to `first`, the output to `out`.
    int count(const std::string& src, unsigned char nl, const char* marker) {
        char name[STACKLE_STRLEN] = "junk";
        testing::internal::CaptureStdout();
        int n = count_filenames(src.c_str(), nl, marker, "&END", name);
        out = testing::internal::GetCapturedStdout();
        first = name;
        return n;
    }
    Names read(const std::string& src, unsigned char nl, const char* marker, int expected) {
        std::unique_ptr<char[][STACKLE_STRLEN]> rows(new char[expected][STACKLE_STRLEN]());
        testing::internal::CaptureStdout();
        read_filenames(src.c_str(), nl, rows.get(), expected, marker, "&END");
        out = testing::internal::GetCapturedStdout();
        return Names(rows.get(), rows.get() + expected);
    }
    control_settings namelist(const std::string& text) {
        std::vector<std::string> words{"stackle", "-n", file("nl", text)};
        std::vector<char*> argv{&words[0][0], &words[1][0], &words[2][0]};
        control_settings cs;
        clear_cs_flags(&cs);
        testing::internal::CaptureStdout();
        process_namelist(&cs, 3, argv.data());
        out = testing::internal::GetCapturedStdout();
        return cs;
    }
    std::string caution(const std::string& src, const char* typo, const char* what,
                        const char* action) {
        return std::string("CAUTION: ") + typo + " IN NAMELIST, " + src + " -- \"" + what +
               "\" not found.\n         " + action + " \n\n";
    }
};

} // namespace

TEST_F(ChoresLists, ListFileSkipsCommentsAndStopsAtEndAndWarnsOnCount) {
    std::string src = file("d.list", "\n# old.fits\n  a.fits  x\nb.fits\n#&END\nc.fits\n&end\nz\n");
    EXPECT_EQ(count(src, 0, "&COADD_DATA"), 3);
    EXPECT_EQ(first + out, "a.fits");
    EXPECT_EQ(read(src, 0, "&COADD_DATA", 3), (Names{"a.fits", "b.fits", "c.fits"}));
    EXPECT_EQ(out, "");
    EXPECT_EQ(read(src, 0, "&COADD_BMASK", 4), (Names{"a.fits", "b.fits", "c.fits", ""}));
    EXPECT_EQ(out, "\aWARNING:  FILELIST " + src + " has 3 filenames, but should have 4\n");
    EXPECT_EQ(read(src, 0, "&COADD_BMASK", 1), (Names{"a.fits"}));
    EXPECT_EQ(out, "\aWARNING:  FILELIST " + src + " has 3 filenames, but should have 1\n");
}

TEST_F(ChoresLists, NamelistSectionsInAnyCaseAndTheirCautions) {
    std::string src = file("nl", "&STACKLE\n STK_ls = 1\n&END\n"
                                 "&coadd_data - - -\n  d1.fits\n  # d0.fits\n\n  d2.fits extra\n"
                                 "  d3.fits\n&End\n&COADD_BMASK\n b1.fits\n");
    EXPECT_EQ(count(src, 1, "&COADD_DATA"), 3);
    EXPECT_EQ(first + out, "d1.fits");
    EXPECT_EQ(read(src, 1, "&COADD_DATA", 3), (Names{"d1.fits", "d2.fits", "d3.fits"}));
    EXPECT_EQ(out, "");
    unsigned char s = 9, b = 9, p = 9;
    find_markers(src.c_str(), &s, &b, &p);
    EXPECT_EQ(std::vector<int>({s, b, p}), std::vector<int>({0, 1, 0}));
    EXPECT_EQ(count(src, 1, "&COADD_SDEV"), 0);
    EXPECT_EQ(out, caution(src, "MISKAKE", "&COADD_SDEV", "IGNORING NAMELIST."));
    read(src, 1, "&COADD_SDEV", 1);
    EXPECT_EQ(out, caution(src, "MISTAKE", "&COADD_SDEV", "IGNORING NAMELIST."));
    EXPECT_EQ(count(src, 1, "&COADD_BMASK"), 1);
    EXPECT_EQ(out, caution(src, "MISTAKE", "&END", "IGNORING LACK OF \"&END\"."));
}

TEST_F(ChoresLists, NamesUpTo255CharactersAndBinaryJunkAsWords) {
    EXPECT_EXIT(count(file("long", "ok.fits\n" + std::string(256, 'n') + "\n"), 0, ""),
                testing::ExitedWithCode(64), "");
    EXPECT_EQ(count(file("max", std::string(255, 'm') + "\n"), 0, ""), 1);
    EXPECT_EQ(first, std::string(255, 'm'));
    std::string junk = file("junk", std::string("\x01\xff\xfe\x7f\n\x80\x90 \t\xc3\n", 11));
    EXPECT_EQ(count(junk, 0, ""), 2);
    EXPECT_EQ(count(junk, 1, "&COADD_DATA"), 0);
}

TEST_F(ChoresLists, SettingsSectionKeyFormsAndLongComment) {
    control_settings cs = namelist("junk before\n  &stackle  extra words\n"
                                   " STK_di = 'a.list',\n STK_do=\"o.fits\"\n CUT_FRAC 0.3\n"
                                   " # STK_ag = 9\n #" +
                                   std::string(400, 'c') +
                                   " STK_ag = 4\n"
                                   " STK_ag\n&END\n STK_cm = 9\n");
    EXPECT_STREQ(cs.data_in_lfile, "a.list");
    EXPECT_STREQ(cs.data_out_file, "o.fits");
    EXPECT_FLOAT_EQ(cs.cut_frac, 0.3f);
    EXPECT_EQ(cs.amask_min_good_f + cs.cut_multiple_f, 0);
    EXPECT_EQ(out, "CAUTION: Malformed line in NAMELIST IGNORED: \" STK_ag\n\"\n");
}
