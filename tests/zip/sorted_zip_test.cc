#include "zip/sorted_zip.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <random>
#include <string>
#include <vector>

namespace zb::zip {
namespace {

std::unique_ptr<TZipHeaderInfo> Make(const std::string& dir, const std::string& file,
                                     uint64_t offset = 0, uint64_t size = 0, uint64_t csize = 0,
                                     uint32_t dos = 0) {
  auto h = std::make_unique<TZipHeaderInfo>();
  h->SetDirectory(dir);
  h->SetFileName(file);
  h->local_header_offset = offset;
  h->uncompressed_size = size;
  h->compressed_size = csize;
  h->dos_date_time = dos;
  return h;
}

std::vector<std::string> Names(const TSortedZip& list) {
  std::vector<std::string> out;
  for (size_t i = 0; i < list.Count(); ++i) out.push_back(list[i].FullName());
  return out;
}

TEST(SortedZipTest, EveryKeyOrdersAsDescribed) {
  TSortedZip owner(TZipSortMode::ByNone, true, false);
  // date 2020-01-02 vs 2021-01-01 (DOS date words).
  const uint32_t d2020 = ((2020 - 1980) << 25) | (1 << 21) | (2 << 16);
  const uint32_t d2021 = ((2021 - 1980) << 25) | (1 << 21) | (1 << 16);
  owner.Add(Make("b/", "Z.txt", 300, 100, 90, d2020));
  owner.Add(Make("A/", "y.txt", 100, 1000, 10, d2021));
  owner.Add(Make("", "x.txt", 200, 50, 50, 0));
  EXPECT_EQ(Names(owner), (std::vector<std::string>{"A/y.txt", "x.txt", "b/Z.txt"}));

  auto view = [&](TZipSortMode m) {
    TSortedZip v(m, false, true);
    for (size_t i = 0; i < owner.Count(); ++i) v.AddRef(owner.At(i));
    return Names(v);
  };
  EXPECT_EQ(view(TZipSortMode::ByName), (std::vector<std::string>{"A/y.txt", "b/Z.txt", "x.txt"}))
      << "case folded: A < b < x";
  EXPECT_EQ(view(TZipSortMode::ByFileName),
            (std::vector<std::string>{"x.txt", "A/y.txt", "b/Z.txt"}));
  EXPECT_EQ(view(TZipSortMode::ByDirectoryName),
            (std::vector<std::string>{"x.txt", "A/y.txt", "b/Z.txt"}));
  EXPECT_EQ(view(TZipSortMode::ByDate), (std::vector<std::string>{"A/y.txt", "b/Z.txt", "x.txt"}))
      << "newest first, an unconvertible date counts as the oldest";
  EXPECT_EQ(view(TZipSortMode::ByCompressedSize),
            (std::vector<std::string>{"b/Z.txt", "x.txt", "A/y.txt"}));
  EXPECT_EQ(view(TZipSortMode::ByUnCompressedSize),
            (std::vector<std::string>{"A/y.txt", "b/Z.txt", "x.txt"}));
  EXPECT_EQ(view(TZipSortMode::ByRate), (std::vector<std::string>{"x.txt", "b/Z.txt", "A/y.txt"}));
}

TEST(SortedZipTest, RateIsRoundedAndCapped) {
  TZipHeaderInfo h;
  h.uncompressed_size = 3;
  h.compressed_size = 2;
  EXPECT_EQ(CompressionRate(h), 67);
  h.compressed_size = 30;
  EXPECT_EQ(CompressionRate(h), 100);
  h.uncompressed_size = 0;
  EXPECT_EQ(CompressionRate(h), 0);
}

TEST(SortedZipTest, DuplicateRuleRejectsOrAppendsAfterEquals) {
  TSortedZip reject(TZipSortMode::ByNone, true, false);
  EXPECT_GE(reject.Add(Make("", "a", 10)), 0);
  EXPECT_EQ(reject.Add(Make("", "b", 10)), -1) << "two entries at one offset";
  EXPECT_EQ(reject.Count(), 1u);

  TSortedZip accept(TZipSortMode::ByFileName, true, true);
  accept.Add(Make("1/", "same", 1));
  accept.Add(Make("2/", "SAME", 2));
  accept.Add(Make("0/", "a", 3));
  accept.Add(Make("3/", "same", 4));
  EXPECT_EQ(Names(accept), (std::vector<std::string>{"0/a", "1/same", "2/SAME", "3/same"}));
}

TEST(SortedZipTest, OneSortEqualsRepeatedInsertion) {
  // Seeded so a failure can be replayed; many equal keys test stability.
  const unsigned seed = 20261209;
  std::mt19937 rng(seed);
  TSortedZip owner(TZipSortMode::ByNone, true, false);
  for (int i = 0; i < 3000; ++i) {
    // Built with append: GCC 12 misreports operator+ chains here (-Wrestrict).
    std::string dir = "d";
    dir.append(std::to_string(rng() % 7)).append("/");
    std::string file = "f";
    file.append(std::to_string(rng() % 50));
    owner.Add(Make(dir, file, static_cast<uint64_t>(i) * 100, rng() % 20));
  }
  for (TZipSortMode m : {TZipSortMode::ByName, TZipSortMode::ByFileName,
                         TZipSortMode::ByUnCompressedSize, TZipSortMode::ByDirectoryName}) {
    TSortedZip inserted(m, false, true);
    std::vector<TZipHeaderInfo*> all;
    for (size_t i = 0; i < owner.Count(); ++i) {
      inserted.AddRef(owner.At(i));
      all.push_back(owner.At(i));
    }
    TSortedZip built(m, false, true);
    built.BuildFrom(all);
    ASSERT_EQ(built.Count(), inserted.Count());
    for (size_t i = 0; i < built.Count(); ++i) {
      ASSERT_EQ(built.At(i), inserted.At(i)) << "mode " << static_cast<int>(m) << " seed " << seed;
    }
  }
}

TEST(SortedZipTest, NameSortsFoldOnceYetOrderAsTheComparison) {
  // The name modes sort by keys folded once; they must order exactly as
  // the case-insensitive comparison does: mixed case, bytes above 127,
  // and names that are prefixes of others.
  const std::vector<std::string> dirs = {"", "a/", "A/", "a/b/", "\xc3\xa4/", "~/", "a/B"};
  const std::vector<std::string> files = {"b", "B", "bc", "c", "b.txt", "\xc3\x84", "_", "~"};
  std::mt19937 rng(7);
  TSortedZip owner(TZipSortMode::ByNone, true, true);
  for (int i = 0; i < 2000; ++i) {
    owner.Add(
        Make(dirs[rng() % dirs.size()], files[rng() % files.size()], static_cast<uint64_t>(i)));
  }
  for (TZipSortMode m :
       {TZipSortMode::ByName, TZipSortMode::ByFileName, TZipSortMode::ByDirectoryName}) {
    std::vector<TZipHeaderInfo*> all;
    for (size_t i = 0; i < owner.Count(); ++i) all.push_back(owner.At(i));
    std::vector<TZipHeaderInfo*> expected = all;
    std::stable_sort(expected.begin(), expected.end(),
                     [m](auto* x, auto* y) { return CompareEntries(m, *x, *y) < 0; });
    TSortedZip built(m, false, true);
    built.BuildFrom(all);
    ASSERT_EQ(built.Count(), expected.size());
    for (size_t i = 0; i < expected.size(); ++i) {
      ASSERT_EQ(built.At(i), expected[i]) << "mode " << static_cast<int>(m) << " row " << i;
    }
  }
  // The comparison itself reads folder and name as one text.
  auto a = Make("a/", "b");
  auto b = Make("A/B/", "c");
  auto c = Make("a/", "B");
  auto d = Make("", "a");
  EXPECT_LT(CompareEntries(TZipSortMode::ByName, *a, *b), 0) << "a/b before a/b/c";
  EXPECT_EQ(CompareEntries(TZipSortMode::ByName, *a, *c), 0);
  EXPECT_LT(CompareEntries(TZipSortMode::ByName, *d, *a), 0) << "a before a/b";
}

TEST(SortedZipTest, BulkAddMatchesInsertionAndRefusesDuplicates) {
  TSortedZip one_by_one(TZipSortMode::ByNone, true, false);
  TSortedZip bulk(TZipSortMode::ByNone, true, false);
  one_by_one.Add(Make("", "first", 500));
  bulk.Add(Make("", "first", 500));
  std::vector<std::unique_ptr<TZipHeaderInfo>> batch;
  // Reverse order (the costly case for insertion) and one repeated offset.
  for (int i = 1000; i >= 0; --i) {
    one_by_one.Add(Make("", "n" + std::to_string(i), static_cast<uint64_t>(i)));
    batch.push_back(Make("", "n" + std::to_string(i), static_cast<uint64_t>(i)));
  }
  EXPECT_EQ(bulk.AddAll(std::move(batch)), 1u) << "offset 500 twice";
  ASSERT_EQ(bulk.Count(), one_by_one.Count());
  for (size_t i = 0; i < bulk.Count(); ++i) {
    EXPECT_EQ(bulk[i].FullName(), one_by_one[i].FullName()) << i;
  }
  EXPECT_EQ(bulk[500].FileName(), "first") << "the entry already listed wins";
}

TEST(SortedZipTest, ReferringListDoesNotDeleteAndOwnerHandsEntriesOut) {
  TSortedZip owner(TZipSortMode::ByNone, true, false);
  owner.Add(Make("", "a", 1));
  owner.Add(Make("", "b", 2));
  {
    TSortedZip view(TZipSortMode::ByName, false, true);
    view.AddRef(owner.At(0));
    view.Delete(0);
  }
  EXPECT_EQ(owner[0].FileName(), "a") << "a referring list must not free its entries";
  std::unique_ptr<TZipHeaderInfo> taken = owner.Extract(1);
  EXPECT_EQ(taken->FileName(), "b");
  EXPECT_EQ(owner.Count(), 1u);
}

}  // namespace
}  // namespace zb::zip
