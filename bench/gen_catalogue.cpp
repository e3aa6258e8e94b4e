// Writes a synthetic catalogue of about SIZE_MIB mebibytes to standard output:
// record lines in both hemispheres, with blank depths, one-digit latitudes and
// one- and two-digit longitudes, and a few percent of headings, remarks and
// blank lines. The same size and seed always give the same bytes.
//
// Usage: gen_catalogue SIZE_MIB SEED

#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

namespace {

// splitmix64: small, fast and identical on every platform.
class Random {
public:
    explicit Random(std::uint64_t seed) : state_(seed) {}

    std::uint64_t next()
    {
        std::uint64_t z = (state_ += 0x9e3779b97f4a7c15ULL);
        z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
        z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
        return z ^ (z >> 31);
    }

    unsigned below(unsigned bound) { return static_cast<unsigned>(next() % bound); }

private:
    std::uint64_t state_;
};

constexpr std::array<std::string_view, 12> REGIONS = {"Off east coast of Honshu",
                                                      "Fiji Islands region",
                                                      "Southern Sumatra",
                                                      "Northern Iran",
                                                      "Northern Chile",
                                                      "Iceland",
                                                      "Near coast of Ecuador",
                                                      "Island of Hawaii",
                                                      "Banda Sea",
                                                      "South Island of New Zealand",
                                                      "Central Mid-Atlantic Ridge",
                                                      "Nepal"};
constexpr std::array<std::string_view, 5> MAGNITUDE_TYPES = {"mb", "Ms", "ML", "Mw", "Md"};
constexpr std::array<std::string_view, 4> NON_RECORDS = {
    "\n", "Date       Time        Latitude Longitude Dep Mag     Region\n",
    "# remark: solution revised after review of later arrivals\n",
    "---------- ----------  -------- --------- --- ------- ------------------------------\n"};

void append_record(std::string &out, Random &random)
{
    // One draw per statement: the order of a call's arguments is unspecified,
    // and a seed must give the same bytes whatever the compiler.
    const unsigned year = 1960 + random.below(65);
    const unsigned month = 1 + random.below(12);
    const unsigned day = 1 + random.below(28);
    const unsigned hour = random.below(24);
    const unsigned minute = random.below(60);
    const unsigned centiseconds = random.below(6000);
    const unsigned latitude = random.below(90000); // thousandths; one digit one time in nine
    const char north_south = random.below(2) == 0 ? 'N' : 'S';
    const unsigned longitude = random.below(180000); // thousandths; one, two or three digits
    const char east_west = random.below(2) == 0 ? 'E' : 'W';
    const bool depth_blank = random.below(3) == 0;
    const unsigned depth = random.below(100);
    const char flag = random.below(10) == 0 ? '*' : ' ';
    const std::string_view magnitude_type = MAGNITUDE_TYPES[random.below(MAGNITUDE_TYPES.size())];
    const unsigned magnitude = 10 + random.below(80); // tenths
    const std::string_view region = REGIONS[random.below(REGIONS.size())];

    char depth_text[4] = "  ";
    if (!depth_blank) {
        (void)std::snprintf(depth_text, sizeof depth_text, "%2u", depth);
    }
    char text[160];
    const int length =
        std::snprintf(text, sizeof text,
                      "%04u/%02u/%02u %02u%02u %02u.%02u  %2u.%03u%c %3u.%03u%c  %s %c%.*s %u.%u  %.*s\n",
                      year, month, day, hour, minute, centiseconds / 100, centiseconds % 100, latitude / 1000,
                      latitude % 1000, north_south, longitude / 1000, longitude % 1000, east_west, depth_text,
                      flag, static_cast<int>(magnitude_type.size()), magnitude_type.data(), magnitude / 10,
                      magnitude % 10, static_cast<int>(region.size()), region.data());
    out.append(text, static_cast<std::size_t>(length));
}

} // namespace

int main(int argc, char *argv[])
{
    if (argc != 3) {
        (void)std::fputs("usage: gen_catalogue SIZE_MIB SEED\n", stderr);
        return 2;
    }
    const std::uint64_t target = std::strtoull(argv[1], nullptr, 10) << 20;
    Random random(std::strtoull(argv[2], nullptr, 10));

    std::string chunk;
    std::uint64_t written = 0;
    while (written < target) {
        chunk.clear();
        while (chunk.size() < (1U << 20)) {
            if (random.below(100) < 3) {
                chunk += NON_RECORDS[random.below(NON_RECORDS.size())];
            } else {
                append_record(chunk, random);
            }
        }
        if (std::fwrite(chunk.data(), 1, chunk.size(), stdout) != chunk.size()) {
            std::perror("gen_catalogue");
            return 1;
        }
        written += chunk.size();
    }
    return std::fclose(stdout) == 0 ? 0 : 1;
}
