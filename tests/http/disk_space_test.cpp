// The ledger of reserved disk space and the reservations downloads hold against it.
#include "http/disk_space.h"

#include <gtest/gtest.h>

#include "support/scratch.h"

namespace {

using http_disk::DiskReservation;
using http_disk::DiskSpace;
using http_disk::RestToWrite;

TEST(DiskSpace, TwoReservationsShareTheFreeBytesOfTheVolume) {
    DiskSpace space;
    DiskReservation first(space), second(space);
    uint64_t free = 1000;
    ASSERT_TRUE(first.Reserve(600, free));
    EXPECT_EQ(free, 1000u);
    free = 1000;
    EXPECT_FALSE(second.Reserve(500, free));
    EXPECT_EQ(free, 400u);  // what the first one left, as the refusal logs it
    EXPECT_EQ(second.Bytes(), 0u);
    free = 1000;
    EXPECT_TRUE(second.Reserve(400, free));
    EXPECT_EQ(space.Reserved(), 1000u);
}

TEST(DiskSpace, AReservationMadeAgainTakesThePlaceOfTheEarlierOne) {
    // The stream after the pieces reserves the whole file in place of the pieces' rest.
    DiskSpace space;
    DiskReservation download(space);
    uint64_t free = 1000;
    ASSERT_TRUE(download.Reserve(600, free));
    free = 1000;
    EXPECT_TRUE(download.Reserve(900, free));
    EXPECT_EQ(free, 1000u);
    EXPECT_EQ(space.Reserved(), 900u);
}

TEST(DiskSpace, AShrinkLowersAReservationAndNeverRaisesIt) {
    DiskSpace space;
    DiskReservation first(space), second(space);
    uint64_t free = 1000;
    ASSERT_TRUE(first.Reserve(1000, free));
    first.ShrinkTo(2000);
    EXPECT_EQ(first.Bytes(), 1000u);
    first.ShrinkTo(300);
    EXPECT_EQ(first.Bytes(), 300u);
    free = 1000;
    EXPECT_TRUE(second.Reserve(700, free));
    EXPECT_EQ(space.Reserved(), 1000u);
}

TEST(DiskSpace, WhatADownloadWroteIsNotCountedTwice) {
    // 1500 bytes free; a download of 1000 writes 700 of them, which the volume then shows taken.
    DiskSpace space;
    DiskReservation first(space), second(space);
    uint64_t free = 1500;
    ASSERT_TRUE(first.Reserve(1000, free));
    free = 800;
    EXPECT_FALSE(second.Reserve(500, free));
    first.ShrinkTo(RestToWrite(1000, 700));
    free = 800;
    EXPECT_TRUE(second.Reserve(500, free));
    EXPECT_EQ(RestToWrite(1000, 1000), 0u);
    EXPECT_EQ(RestToWrite(1000, 4096), 0u);  // an allocation rounded up past the file
}

TEST(DiskSpace, AReservationGoingOutOfScopeGivesItsBytesBack) {
    DiskSpace space;
    {
        DiskReservation download(space);
        uint64_t free = 1000;
        ASSERT_TRUE(download.Reserve(1000, free));
        EXPECT_EQ(space.Reserved(), 1000u);
    }
    EXPECT_EQ(space.Reserved(), 0u);
    DiskReservation released(space);
    uint64_t free = 1000;
    ASSERT_TRUE(released.Reserve(1000, free));
    released.Release();
    EXPECT_EQ(space.Reserved(), 0u);
    EXPECT_EQ(released.Bytes(), 0u);
}

TEST(DiskSpace, TheOverrideStandsForTheVolumeUntilItIsTakenBack) {
    DiskSpace space;
    fixtures::ScratchFolder folder;
    std::string path = folder.Path("package.exe");
    uint64_t free = 0;
    space.SetFreeBytesForTesting(12345);
    ASSERT_TRUE(space.FreeBytesFor(path, free));
    EXPECT_EQ(free, 12345u);
    space.SetFreeBytesForTesting(-1);
    ASSERT_TRUE(space.FreeBytesFor(path, free));
    EXPECT_NE(free, 12345u);
}

}  // namespace
