// The XML document's parser against pugixml and expat on the same bytes held in memory. Each
// iteration parses the whole text into a fresh document or parser and destroys it again.
//
//   zema_bench_xml --xml=PATH [benchmark flags]
#include <benchmark/benchmark.h>
#include <expat.h>

#include <fstream>
#include <pugixml.hpp>
#include <sstream>
#include <string>

#include "BenchOptions.h"
#include "xml/XmlDocument.h"

namespace {

std::string text;

void ParseOurs(benchmark::State& state) {
  bool wellFormed = false;
  uint32_t elements = 0;
  for (auto _ : state) {
    CXmlDocument document;
    wellFormed = document.SetText(text.c_str());
    elements = document.NextFree() - 1;
    benchmark::DoNotOptimize(elements);
  }
  state.counters["well_formed"] = wellFormed ? 1 : 0;
  state.counters["elements"] = elements;
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}

void ParsePugixml(benchmark::State& state) {
  bool parsed = false;
  for (auto _ : state) {
    pugi::xml_document document;
    parsed = static_cast<bool>(
        document.load_buffer(text.data(), text.size(), pugi::parse_default, pugi::encoding_utf8));
    benchmark::DoNotOptimize(document.first_child());
  }
  state.counters["well_formed"] = parsed ? 1 : 0;
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}

void XMLCALL StartElement(void*, const XML_Char*, const XML_Char**) {}
void XMLCALL EndElement(void*, const XML_Char*) {}
void XMLCALL CharacterData(void*, const XML_Char*, int) {}

void ParseExpat(benchmark::State& state) {
  bool parsed = false;
  for (auto _ : state) {
    XML_Parser parser = XML_ParserCreate(nullptr);
    XML_SetElementHandler(parser, StartElement, EndElement);
    XML_SetCharacterDataHandler(parser, CharacterData);
    parsed = XML_Parse(parser, text.data(), static_cast<int>(text.size()), 1) == XML_STATUS_OK;
    XML_ParserFree(parser);
  }
  state.counters["well_formed"] = parsed ? 1 : 0;
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}

}  // namespace

int main(int argc, char** argv) {
  bench::BenchOptions options(&argc, argv, {"xml"});
  const std::string path = options.Text("xml");
  std::ifstream in(path, std::ios::binary);
  std::stringstream contents;
  contents << in.rdbuf();
  text = contents.str();
  if (!in || text.empty()) {
    std::fprintf(stderr, "zema_bench_xml: cannot read --xml=%s\n", path.c_str());
    return 2;
  }
  for (auto* benchmark : {benchmark::RegisterBenchmark("XmlParse/CXmlDocument_SetText", ParseOurs),
                          benchmark::RegisterBenchmark("XmlParse/pugixml", ParsePugixml),
                          benchmark::RegisterBenchmark("XmlParse/expat", ParseExpat)})
    benchmark->UseRealTime()->Unit(benchmark::kMillisecond);
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 2;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
