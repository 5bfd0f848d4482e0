#include "dump/output.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "dump/csv.h"
#include "dump/json.h"
#include "dump/listing.h"
#include "dump/numbers.h"
#include "dump/pipeline.h"

TEST(FormatTime, CalendarSamples) {
  struct Case {
    int32_t time;
    const char* text;
  };
  const Case cases[] = {
      {0, "0"},    // stored for "before 1900"
      {-1, "-1"},  // stored for "out of range"
      {1, "1970-01-01T00:00:01Z"},
      {-2, "1969-12-31T23:59:58Z"},
      {68169600, "1972-02-29T00:00:00Z"},
      {946684799, "1999-12-31T23:59:59Z"},
      {946684800, "2000-01-01T00:00:00Z"},
      {951868800, "2000-03-01T00:00:00Z"},
      {1714564800, "2024-05-01T12:00:00Z"},
      {2147483647, "2038-01-19T03:14:07Z"},
      {-2147483647 - 1, "1901-12-13T20:45:52Z"},
  };
  for (const Case& c : cases) {
    char text[kTimeTextSize];
    EXPECT_EQ(c.text, std::string(text, FormatTime(c.time, false, text)));
  }
  char text[kTimeTextSize];
  EXPECT_EQ("-2147483648",
            std::string(text, FormatTime(-2147483647 - 1, true, text)));
  EXPECT_EQ("1714564800",
            std::string(text, FormatTime(1714564800, true, text)));
}

namespace {

// What `out`'s file holds, from its start.
std::string FileText(FILE* file) {
  std::string text;
  rewind(file);
  char part[4096];
  size_t got;
  while ((got = fread(part, 1, sizeof part, file)) > 0) text.append(part, got);
  return text;
}

}  // namespace

// Each line form formatted through batches (many, as each holds a few
// records here, and a path too long for any) gives the very bytes formatting
// alone gives, in order; a failing write is reported.
TEST(FormatPipeline, SameTextAsFormattingAlone) {
  std::vector<std::string> paths;
  for (int i = 0; i < 3000; ++i) {
    std::string path = "C:\\dir" + std::to_string(i % 17) + "\\";
    for (int j = 0; j < i % 300; ++j)
      path += static_cast<char>("a,\"\x01\xe9<"[(i + j) % 7]);
    paths.push_back(path);
  }
  // Two paths too long for a batch, one after the other, the second longer
  // than the output's buffer.
  paths.insert(paths.begin() + 1500, std::string(200000, '\xff'));
  paths.insert(paths.begin() + 1501, std::string(Output::kChunk + 1000, 'y'));
  paths.push_back("");
  std::vector<DatabaseRecord> records;
  for (size_t i = 0; i < paths.size(); ++i) {
    records.push_back({paths[i].data(), static_cast<uint32_t>(paths[i].size()),
                       static_cast<int32_t>(i * 7919), 0, -1,
                       static_cast<uint32_t>(i * 104729)});
  }
  // A database's label, as several databases give each record, longer than
  // most paths.
  std::string label(5000, 'L');
  FormStyle labelled;
  labelled.label = label.data();
  labelled.labelLength = label.size();
  FormStyle raw;
  raw.raw = true;
  for (DumpForm form : {kFormList, kFormCsv, kFormJson, kFormPaths}) {
    // Small batches, and batches whose text is what fills them.
    for (size_t recordsSize : {size_t{4096}, size_t{1} << 20}) {
      for (const FormStyle& style : {FormStyle(), raw, labelled}) {
        FormatRecord format = nullptr;
        TextBound bound;
        LineForm(form, style.labelLength, &format, &bound);
        ASSERT_NE(nullptr, format);
        FILE* alone = tmpfile();
        FILE* piped = tmpfile();
        ASSERT_TRUE(alone != nullptr && piped != nullptr);
        {
          auto out = std::make_unique<Output>(alone);
          for (const DatabaseRecord& record : records)
            format(out.get(), record, style);
          ASSERT_TRUE(out->Flush());
        }
        {
          auto out = std::make_unique<Output>(piped);
          FormatPipeline pipeline(out.get(), format, style, bound, recordsSize);
          ASSERT_TRUE(pipeline.Start());
          for (const DatabaseRecord& record : records) {
            ASSERT_TRUE(pipeline.Add(record));
          }
          ASSERT_TRUE(pipeline.Finish());
          ASSERT_TRUE(out->Flush());
        }
        std::string expected = FileText(alone);
        EXPECT_GT(expected.size(), 200000u);
        EXPECT_TRUE(expected == FileText(piped))
            << form << " " << style.raw << " " << style.labelLength << " "
            << recordsSize;
        fclose(alone);
        fclose(piped);
      }
    }
  }

  // A stream that cannot be written: the pipeline says so.
  std::string name = testing::TempDir() + "pipeline_read_only";
  FILE* create = fopen(name.c_str(), "wb");
  ASSERT_NE(nullptr, create);
  fclose(create);
  FILE* readOnly = fopen(name.c_str(), "rb");
  ASSERT_NE(nullptr, readOnly);
  {
    auto out = std::make_unique<Output>(readOnly);
    FormatPipeline pipeline(out.get(), WriteListRecord, FormStyle(), {1, 96},
                            4096);
    ASSERT_TRUE(pipeline.Start());
    bool added = true;
    for (const DatabaseRecord& record : records) {
      if (!(added = pipeline.Add(record))) break;
    }
    EXPECT_FALSE(added && pipeline.Finish());
  }
  fclose(readOnly);
  remove(name.c_str());
}

// Paths that test the escaping of --json and --csv: control characters,
// line breaks, and bytes that only look like UTF-8 (surrogates, overlong
// forms, a sequence the path's end cuts off).  A path is `length` bytes of
// `bytes`, so that a cut sequence has its continuation right after it, where
// a reader that runs past the end would take it.
TEST(FormatEscaping, JsonAndCsvOfHostilePaths) {
  struct Case {
    const char* bytes;
    size_t length;     // 0: up to the NUL
    const char* json;  // the path as a JSON string's inside
    const char* csv;   // the path as a CSV field
  };
  const Case cases[] = {
      {"C:\\\x1F", 0, "C:\\\\\\u001F", "C:\\\x1F"},
      {"C:\\\x01\x7F", 0, "C:\\\\\\u0001\x7F", "C:\\\x01\x7F"},
      {"C:\\a\rb", 0, "C:\\\\a\\u000Db", "\"C:\\a\rb\""},
      {"C:\\a\nb", 0, "C:\\\\a\\u000Ab", "\"C:\\a\nb\""},
      {"C:\\a,b", 0, "C:\\\\a,b", "\"C:\\a,b\""},
      {"C:\\\"<", 0, "C:\\\\\\\"<3C>", "\"C:\\\"\"<3C>\""},
      // Surrogates, U+D800 and U+DFFF, and the code points either side.
      {"\xED\xA0\x80", 0, "<ED><A0><80>", "<ED><A0><80>"},
      {"\xED\xBF\xBF", 0, "<ED><BF><BF>", "<ED><BF><BF>"},
      {"\xED\x9F\xBF", 0, "\xED\x9F\xBF", "\xED\x9F\xBF"},
      {"\xEE\x80\x80", 0, "\xEE\x80\x80", "\xEE\x80\x80"},
      // Overlong forms, and the least of each length that is not one.
      {"\xC0\x80", 0, "<C0><80>", "<C0><80>"},
      {"\xC1\xBF", 0, "<C1><BF>", "<C1><BF>"},
      {"\xC2\x80", 0, "\xC2\x80", "\xC2\x80"},
      {"\xE0\x80\x80", 0, "<E0><80><80>", "<E0><80><80>"},
      {"\xE0\x9F\xBF", 0, "<E0><9F><BF>", "<E0><9F><BF>"},
      {"\xE0\xA0\x80", 0, "\xE0\xA0\x80", "\xE0\xA0\x80"},
      {"\xF0\x80\x80\x80", 0, "<F0><80><80><80>", "<F0><80><80><80>"},
      {"\xF0\x8F\xBF\xBF", 0, "<F0><8F><BF><BF>", "<F0><8F><BF><BF>"},
      {"\xF0\x90\x80\x80", 0, "\xF0\x90\x80\x80", "\xF0\x90\x80\x80"},
      // Past U+10FFFF, and the last code point.
      {"\xF4\x90\x80\x80", 0, "<F4><90><80><80>", "<F4><90><80><80>"},
      {"\xF4\x8F\xBF\xBF", 0, "\xF4\x8F\xBF\xBF", "\xF4\x8F\xBF\xBF"},
      {"\xF5\x80\x80\x80", 0, "<F5><80><80><80>", "<F5><80><80><80>"},
      // Continuations where a lead belongs, and a lead without them.
      {"\x80\xBF", 0, "<80><BF>", "<80><BF>"},
      {"\xC3(", 0, "<C3>(", "<C3>("},
      {"\xE2\x82(", 0, "<E2><82>(", "<E2><82>("},
      // Sequences cut by the path's end, the rest of them just beyond.
      {"C:\\\xC3\xA9", 4, "C:\\\\<C3>", "C:\\<C3>"},
      {"C:\\\xE2\x82\xAC", 4, "C:\\\\<E2>", "C:\\<E2>"},
      {"C:\\\xE2\x82\xAC", 5, "C:\\\\<E2><82>", "C:\\<E2><82>"},
      {"C:\\\xF0\x9F\x98\x80", 6, "C:\\\\<F0><9F><98>", "C:\\<F0><9F><98>"},
  };
  for (const Case& c : cases) {
    size_t length = c.length != 0 ? c.length : strlen(c.bytes);
    DatabaseRecord record = {c.bytes, static_cast<uint32_t>(length), 1, 2, 3,
                             4};
    auto out = std::make_unique<Output>(nullptr);
    FormStyle raw;
    raw.raw = true;
    WriteJsonRecord(out.get(), record, raw);
    EXPECT_EQ(std::string("{\"path\":\"") + c.json +
                  "\",\"last_write\":1,\"creation\":2,\"last_access\":3,"
                  "\"size\":4}\n",
              std::string(out->Data(), out->Used()));
    out->Clear();
    WriteCsvRecord(out.get(), record, raw);
    EXPECT_EQ(std::string(c.csv) + ",1,2,3,4\r\n",
              std::string(out->Data(), out->Used()))
        << c.csv;
  }
}
