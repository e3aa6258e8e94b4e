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

// Appends `value` right-aligned in `width` columns, blank-padded.
void append_number(std::string &out, unsigned value, int width)
{
    char digits[16];
    const int length = std::snprintf(digits, sizeof digits, "%*u", width, value);
    out.append(digits, static_cast<std::size_t>(length));
}

// Appends whole.fff right-aligned in `width` columns.
void append_coordinate(std::string &out, unsigned whole, unsigned thousandths, int width)
{
    append_number(out, whole, width - 4);
    out += '.';
    char fraction[8];
    std::snprintf(fraction, sizeof fraction, "%03u", thousandths);
    out += fraction;
}

void append_record(std::string &out, Random &random)
{
    char head[32];
    std::snprintf(head, sizeof head, "%04u/%02u/%02u %02u%02u %02u.%02u  ", 1960 + random.below(65),
                  1 + random.below(12), 1 + random.below(28), random.below(24), random.below(60),
                  random.below(60), random.below(100));
    out += head; // columns 0-22, sign column blank

    // Latitude in columns 23-28, one digit about one time in nine.
    append_coordinate(out, random.below(90), random.below(1000), 6);
    out += random.below(2) == 0 ? 'N' : 'S';
    out += ' ';
    // Longitude in columns 31-37: one, two or three digits.
    append_coordinate(out, random.below(180), random.below(1000), 7);
    out += random.below(2) == 0 ? 'E' : 'W';
    out += "  ";
    // Depth in columns 41-42: blank a third of the time.
    if (random.below(3) == 0) {
        out += "  ";
    } else {
        append_number(out, random.below(100), 2);
    }
    out += ' ';
    out += random.below(10) == 0 ? '*' : ' ';
    out += MAGNITUDE_TYPES[random.below(MAGNITUDE_TYPES.size())];
    out += ' ';
    append_number(out, 1 + random.below(8), 1);
    out += '.';
    append_number(out, random.below(10), 1);
    out += "  ";
    out += REGIONS[random.below(REGIONS.size())];
    out += '\n';
}

} // namespace

int main(int argc, char *argv[])
{
    if (argc != 3) {
        std::fputs("usage: gen_catalogue SIZE_MIB SEED\n", stderr);
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
