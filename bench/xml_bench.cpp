// Reading a 1 MB feed and a large control file into their models, beside libxml2's own
// bare parse of the same bytes into its tree (built and freed, nothing read from it), the
// reference for what reading a document costs. The readers use libxml2's parser as well
// but keep the document in a tree of their own, so the ratio is the whole read (decoding,
// parse, tree, walk, cleaning, the model) against that reference. FeedVsLibxml2 and
// ControlVsLibxml2 take turns, one read and one bare parse per round (in either order by
// turns), and report the median of the rounds' ratios ("x_libxml2"), so a load that comes
// and goes on the machine falls on both alike. Taking turns costs both more than running
// alone (each finds the caches and the heap as the other left them), so their times are
// higher than those of the benchmarks that run one alone.

#include "common/channelfeeds.h"
#include "common/controlfile.h"

#include <algorithm>
#include <benchmark/benchmark.h>
#include <chrono>
#include <libxml/parser.h>
#include <string>
#include <vector>

namespace {

const std::string& Feed() {
    static const std::string feed = [] {
        std::string xml = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                          "<rdf:RDF xmlns:rdf=\"http://www.w3.org/1999/02/22-rdf-syntax-ns#\" "
                          "xmlns=\"http://purl.org/rss/1.0/\" "
                          "xmlns:content=\"http://purl.org/rss/1.0/modules/content/\">\n"
                          "<channel><title>Nachrichten</title></channel>\n";
        for (int i = 0; xml.size() < 1024 * 1024; ++i) {
            const std::string n = std::to_string(i);
            xml += "<item rdf:about=\"http://example.com/" + n + "\">\n<title>Meldung " + n +
                   ": Gr\xC3\xBC\xC3\x9F"
                   "e &amp; \xE2\x80\x9E"
                   "Zitate\xE2\x80\x9C</title>\n"
                   "<description>&lt;p&gt;Ein l\xC3\xA4ngerer Text mit &lt;b&gt;Auszeichnung"
                   "&lt;/b&gt; und &lt;a href=\"http://example.com/" +
                   n +
                   "\"&gt;Verweis"
                   "&lt;/a&gt;, wie ihn Nachrichtenquellen liefern. Noch ein Satz, damit die "
                   "Beschreibung die \xC3\xBC"
                   "bliche L\xC3\xA4nge hat.&lt;/p&gt;</description>\n"
                   "<link>http://example.com/" +
                   n +
                   "</link>\n"
                   "<content:items><rdf:Bag><rdf:li><content:item rdf:about=\"#brimwald:///"
                   "images/" +
                   n + ".jpg\"/></rdf:li></rdf:Bag></content:items>\n</item>\n";
        }
        return xml + "</rdf:RDF>\n";
    }();
    return feed;
}

const std::string& ControlFile() {
    static const std::string cf = [] {
        std::string xml = "<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?>\n"
                          "<content time=\"2026-12-10\">\n<hosts>";
        for (int i = 0; i < 8; ++i) {
            xml += "<host name=\"h" + std::to_string(i) + ".example.com\"/>";
        }
        xml += "</hosts>\n";
        for (int i = 0; i < 50; ++i) {
            const std::string n = std::to_string(i);
            xml += "<layout key=\"prov" + n + "\" uri=\"#brimwald:///images/prov" + n +
                   "/base/layout.xml\" serial=\"" + n + "\"/>\n";
        }
        xml += "<topics>\n";
        for (int t = 0; t < 100; ++t) {
            const std::string n = std::to_string(t);
            xml += "<topic id=\"t" + n + "\" serial=\"1\" title=\"Thema " + n +
                   "\"><description>Beschreibung des Themas " + n + "</description>";
            for (int c = 0; c < 20; ++c) {
                const std::string id = std::to_string(t * 20 + c);
                xml += "<channelref id=\"c" + id + "\" displaytitle=\"Kanal " + id +
                       "\" tooltip=\"Tipp\"/>";
            }
            xml += "</topic>\n";
        }
        xml += "</topics>\n<channels>\n";
        for (int c = 0; c < 2000; ++c) {
            const std::string id = std::to_string(c);
            xml += "<channel id=\"c" + id + "\" serial=\"20261210" + id +
                   "\" mandatory=\"false\" subscriptiondefault=\"true\" title=\"Kanal " + id +
                   " \xFC"
                   "ber Alles\" uri=\"#brimwald:///feeds/c" +
                   id + ".xml\"><description>Beschreibung des Kanals " + id +
                   "</description><icon id=\"i" + id + "\" uri=\"#brimwald:///icons/c" + id +
                   ".gif\" serial=\"1\"/></channel>\n";
        }
        return xml + "</channels>\n<swrenew version=\"2.0\" uri=\"#brimwald:///setup.exe\" "
                     "size=\"1\"/>\n</content>\n";
    }();
    return cf;
}

void BareParse(benchmark::State& state, const std::string& bytes, const char* encoding) {
    xmlInitParser();
    for (auto _ : state) {
        xmlDocPtr doc =
            xmlReadMemory(bytes.data(), static_cast<int>(bytes.size()), nullptr, encoding,
                          XML_PARSE_NOENT | XML_PARSE_NONET | XML_PARSE_COMPACT |
                              XML_PARSE_NOERROR | XML_PARSE_NOWARNING);
        if (doc == nullptr) {
            state.SkipWithError("libxml2 refused the document");
            break;
        }
        xmlFreeDoc(doc);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * bytes.size()));
}

void FeedRead(benchmark::State& state) {
    const std::string& bytes = Feed();
    std::size_t items = 0;
    for (auto _ : state) {
        CHFChannel feed;
        feed.Parse(bytes);
        items = feed.messages.size();
        benchmark::DoNotOptimize(feed.messages.data());
    }
    state.counters["items"] = static_cast<double>(items);
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * bytes.size()));
}

void FeedBareParse(benchmark::State& state) {
    BareParse(state, Feed(), "UTF-8");
}

void ControlRead(benchmark::State& state) {
    const std::string& bytes = ControlFile();
    std::size_t channels = 0;
    for (auto _ : state) {
        CF cf;
        if (!cf.Parse(bytes).complete) {
            state.SkipWithError("control file not read whole");
            break;
        }
        channels = cf.channels.size();
        benchmark::DoNotOptimize(cf.channels.data());
    }
    state.counters["channels"] = static_cast<double>(channels);
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * ControlFile().size()));
}

void ControlBareParse(benchmark::State& state) {
    BareParse(state, ControlFile(), "ISO-8859-1");
}

// One bare parse of the bytes by libxml2.
void BareParseOnce(const std::string& bytes, const char* encoding) {
    xmlDocPtr doc = xmlReadMemory(bytes.data(), static_cast<int>(bytes.size()), nullptr, encoding,
                                  XML_PARSE_NOENT | XML_PARSE_NONET | XML_PARSE_COMPACT |
                                      XML_PARSE_NOERROR | XML_PARSE_NOWARNING);
    benchmark::DoNotOptimize(doc);
    xmlFreeDoc(doc);
}

template <typename Read>
void Alternating(benchmark::State& state, const std::string& bytes, const char* encoding,
                 Read read) {
    xmlInitParser();
    using Clock = std::chrono::steady_clock;
    std::vector<double> ratios;
    double ours = 0;
    double bare = 0;
    bool readFirst = true;
    for (auto _ : state) {
        // Whoever goes first pays for tidying the heap the other one left (the C library
        // consolidates freed blocks at the next large request), so the order flips.
        double a = 0;
        double b = 0;
        for (int k = 0; k < 2; ++k) {
            const auto t0 = Clock::now();
            const bool oursTurn = (k == 0) == readFirst;
            if (oursTurn) {
                read();
            } else {
                BareParseOnce(bytes, encoding);
            }
            (oursTurn ? a : b) = std::chrono::duration<double>(Clock::now() - t0).count();
        }
        readFirst = !readFirst;
        ours += a;
        bare += b;
        ratios.push_back(a / b);
    }
    std::nth_element(ratios.begin(), ratios.begin() + ratios.size() / 2, ratios.end());
    state.counters["x_libxml2"] = ratios[ratios.size() / 2];
    state.counters["read_ms"] = ours / double(state.iterations()) * 1000;
    state.counters["bare_ms"] = bare / double(state.iterations()) * 1000;
}

void FeedVsLibxml2(benchmark::State& state) {
    Alternating(state, Feed(), "UTF-8", [] {
        CHFChannel feed;
        feed.Parse(Feed());
        benchmark::DoNotOptimize(feed.messages.data());
    });
}

void ControlVsLibxml2(benchmark::State& state) {
    Alternating(state, ControlFile(), "ISO-8859-1", [] {
        CF cf;
        cf.Parse(ControlFile());
        benchmark::DoNotOptimize(cf.channels.data());
    });
}

BENCHMARK(FeedRead)->Unit(benchmark::kMillisecond);
BENCHMARK(FeedBareParse)->Unit(benchmark::kMillisecond);
BENCHMARK(ControlRead)->Unit(benchmark::kMillisecond);
BENCHMARK(ControlBareParse)->Unit(benchmark::kMillisecond);
BENCHMARK(FeedVsLibxml2)->Unit(benchmark::kMillisecond)->MinTime(3);
BENCHMARK(ControlVsLibxml2)->Unit(benchmark::kMillisecond)->MinTime(3);

} // namespace

BENCHMARK_MAIN();
