// The namelist settings section and the file-list readers on small text files.
#include "stackle.h"

#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "testkit.h"

namespace {

struct ChoresLists : testing::Test {
    testkit::TempDir dir;
    std::string out;

    std::string file(const std::string& name, const std::string& text) {
        testkit::write_text(dir.file(name), text);
        return dir.file(name);
    }
    int count(const std::string& src, unsigned char nl, const char* marker, std::string* first) {
        char name[STACKLE_STRLEN] = "junk";
        testing::internal::CaptureStdout();
        int n = count_filenames(src.c_str(), nl, marker, "&END", name);
        out = testing::internal::GetCapturedStdout();
        *first = name;
        return n;
    }
    std::vector<std::string> read(const std::string& src, unsigned char nl, const char* marker,
                                  int expected) {
        std::unique_ptr<char[][STACKLE_STRLEN]> rows(new char[expected][STACKLE_STRLEN]());
        testing::internal::CaptureStdout();
        read_filenames(src.c_str(), nl, rows.get(), expected, marker, "&END");
        out = testing::internal::GetCapturedStdout();
        std::vector<std::string> names;
        for (int i = 0; i < expected; ++i)
            names.push_back(rows[i]);
        return names;
    }
    control_settings namelist(const std::string& text) {
        std::string nl = file("nl", text);
        std::vector<std::string> words{"stackle", "-n", nl};
        std::vector<char*> argv{&words[0][0], &words[1][0], &words[2][0]};
        control_settings cs;
        clear_cs_flags(&cs);
        testing::internal::CaptureStdout();
        process_namelist(&cs, 3, argv.data());
        out = testing::internal::GetCapturedStdout();
        return cs;
    }
};

const char* const SECTIONS = "&STACKLE\n STK_ls = 1\n&END\n"
                             "&coadd_data - - -\n  d1.fits\n  # d0.fits\n\n  d2.fits extra\n"
                             "  d3.fits\n&End\n&COADD_BMASK\n b1.fits\n";

} // namespace

TEST_F(ChoresLists, ListFileSkipsCommentsAndStopsAtEnd) {
    std::string src = file("d.list", "\n# old.fits\n  a.fits  x\nb.fits\n#&END\nc.fits\n&end\nz\n");
    std::string first;
    EXPECT_EQ(count(src, 0, "&COADD_DATA", &first), 3);
    EXPECT_EQ(first, "a.fits");
    EXPECT_EQ(out, "");
    EXPECT_EQ(read(src, 0, "&COADD_DATA", 3),
              (std::vector<std::string>{"a.fits", "b.fits", "c.fits"}));
    EXPECT_EQ(out, "");
}

TEST_F(ChoresLists, CountMismatchWarnsAndLeavesRowsEmpty) {
    std::string src = file("bm.list", "b1.fits\nb2.fits\n");
    EXPECT_EQ(read(src, 0, "&COADD_BMASK", 3),
              (std::vector<std::string>{"b1.fits", "b2.fits", ""}));
    EXPECT_EQ(out, "\aWARNING:  FILELIST " + src + " has 2 filenames, but should have 3\n");
    EXPECT_EQ(read(src, 0, "&COADD_BMASK", 1), (std::vector<std::string>{"b1.fits"}));
    EXPECT_EQ(out, "\aWARNING:  FILELIST " + src + " has 2 filenames, but should have 1\n");
}

TEST_F(ChoresLists, NamelistSectionsInAnyCase) {
    std::string src = file("nl", SECTIONS);
    std::string first;
    EXPECT_EQ(count(src, 1, "&COADD_DATA", &first), 3);
    EXPECT_EQ(first, "d1.fits");
    EXPECT_EQ(read(src, 1, "&COADD_DATA", 3),
              (std::vector<std::string>{"d1.fits", "d2.fits", "d3.fits"}));
    EXPECT_EQ(out, "");
    unsigned char s = 9, b = 9, p = 9;
    find_markers(src.c_str(), &s, &b, &p);
    EXPECT_EQ(s, 0);
    EXPECT_EQ(b, 1);
    EXPECT_EQ(p, 0);
}

TEST_F(ChoresLists, MissingSectionAndMissingEnd) {
    std::string src = file("nl", SECTIONS);
    std::string first;
    EXPECT_EQ(count(src, 1, "&COADD_SDEV", &first), 0);
    EXPECT_EQ(out, "CAUTION: MISKAKE IN NAMELIST, " + src +
                       " -- \"&COADD_SDEV\" not found.\n         IGNORING NAMELIST. \n\n");
    read(src, 1, "&COADD_SDEV", 1);
    EXPECT_EQ(out, "CAUTION: MISTAKE IN NAMELIST, " + src +
                       " -- \"&COADD_SDEV\" not found.\n         IGNORING NAMELIST. \n\n");
    EXPECT_EQ(count(src, 1, "&COADD_BMASK", &first), 1);
    EXPECT_EQ(out, "CAUTION: MISTAKE IN NAMELIST, " + src +
                       " -- \"&END\" not found.\n         IGNORING LACK OF \"&END\". \n\n");
}

TEST_F(ChoresLists, NamesUpTo255Characters) {
    std::string first;
    std::string src = file("long", "ok.fits\n" + std::string(256, 'n') + "\n");
    EXPECT_EXIT(count(src, 0, "", &first), testing::ExitedWithCode(64), "");
    std::string fits = file("max", std::string(255, 'm') + "\n");
    EXPECT_EQ(count(fits, 0, "", &first), 1);
    EXPECT_EQ(first, std::string(255, 'm'));
}

TEST_F(ChoresLists, BinaryJunkIsReadAsWordsWithoutHarm) {
    std::string junk("\x01\xff\xfe\x7f\n\x80\x90 \t\xc3\n", 11);
    std::string src = file("junk", junk);
    std::string first;
    EXPECT_EQ(count(src, 0, "", &first), 2);
    EXPECT_EQ(count(src, 1, "&COADD_DATA", &first), 0);
}

TEST_F(ChoresLists, SettingsSectionKeyForms) {
    control_settings cs = namelist("junk before\n  &stackle  extra words\n"
                                   " STK_di = 'a.list',\n STK_do=\"o.fits\"\n"
                                   " CUT_FRAC 0.3\n # STK_ag = 9\n STK_ag\n&END\n STK_cm = 9\n");
    EXPECT_STREQ(cs.data_in_lfile, "a.list");
    EXPECT_STREQ(cs.data_out_file, "o.fits");
    EXPECT_FLOAT_EQ(cs.cut_frac, 0.3f);
    EXPECT_EQ(cs.amask_min_good_f, 0);
    EXPECT_EQ(cs.cut_multiple_f, 0);
    EXPECT_EQ(out, "CAUTION: Malformed line in NAMELIST IGNORED: \" STK_ag\n\"\n");
}

TEST_F(ChoresLists, LongCommentLineIsOneLine) {
    control_settings cs = namelist("&STACKLE\n #" + std::string(400, 'c') + " STK_ag = 4\n&END\n");
    EXPECT_EQ(cs.amask_min_good_f, 0);
    EXPECT_EQ(out, "");
}
