// tests/fs/listing_test.cpp: the long listing line, and which entries the listings show.
#include "fs/listing.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "platform/platform.h"

namespace {

FindEntry entryNamed(const char* name, unsigned attributes, long long size) {
    FindEntry entry = {};
    std::snprintf(entry.name, sizeof entry.name, "%s", name);
    entry.attributes = attributes;
    entry.size = size;
    CalendarTime local = {};
    // Noon on 21 June 2011, local time, whatever the machine's zone.
    entry.writeTime = 1308657600;
    EXPECT_EQ(0, toLocalTime(entry.writeTime, &local));
    entry.writeTime += (12 - local.hour) * 3600;
    return entry;
}

std::string longLine(const FindEntry& entry) {
    char line[kListingLineSize];
    int length = formatLongLine(line, sizeof line, &entry);
    EXPECT_EQ(static_cast<int>(std::strlen(line)), length);
    return line;
}

}  // namespace

TEST(FormatLongLine, ShowsKindWritabilitySizeAndDate) {
    EXPECT_EQ("-rw-rw-rw-   1 ftp  ftp       1234 Jun 21  2011 a.bin\r\n",
              longLine(entryNamed("a.bin", 0, 1234)));
    EXPECT_EQ("drw-rw-rw-   1 ftp  ftp          0 Jun 21  2011 fw\r\n",
              longLine(entryNamed("fw", kAttributeDirectory, 0)));
    EXPECT_EQ("-r--r--r--   1 ftp  ftp          7 Jun 21  2011 ro.bin\r\n",
              longLine(entryNamed("ro.bin", kAttributeReadOnly, 7)));
    EXPECT_EQ("dr--r--r--   1 ftp  ftp          0 Jun 21  2011 rodir\r\n",
              longLine(entryNamed("rodir", kAttributeDirectory | kAttributeReadOnly, 0)));
}

TEST(FormatLongLine, WidensForSizesOf4GiBAndMore) {
    EXPECT_EQ("-rw-rw-rw-   1 ftp  ftp    5368709120 Jun 21  2011 big.img\r\n",
              longLine(entryNamed("big.img", 0, 5368709120LL)));
    EXPECT_EQ("-rw-rw-rw-   1 ftp  ftp    12345678 Jun 21  2011 x\r\n",
              longLine(entryNamed("x", 0, 12345678)));
}

TEST(FormatLongLine, ALongestNameStillFits) {
    std::string name(kEntryNameSize - 1, 'n');
    std::string line = longLine(entryNamed(name.c_str(), 0, 1));
    EXPECT_EQ(name + "\r\n", line.substr(line.size() - name.size() - 2));
}
