// Without libFuzzer, a fuzz target is an ordinary program: it feeds every file of the
// directories (or files) named on its command line to the entry point once.

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

namespace {

std::vector<std::filesystem::path> inputsOf(const std::filesystem::path &argument)
{
    std::vector<std::filesystem::path> inputs;
    if (std::filesystem::is_directory(argument)) {
        for (const auto &entry : std::filesystem::directory_iterator(argument))
            if (entry.is_regular_file())
                inputs.push_back(entry.path());
    } else if (std::filesystem::is_regular_file(argument)) {
        inputs.push_back(argument);
    }
    std::sort(inputs.begin(), inputs.end());
    return inputs;
}

} // namespace

int main(int argc, char *argv[])
{
    size_t count = 0;
    for (int i = 1; i < argc; ++i) {
        for (const std::filesystem::path &input : inputsOf(argv[i])) {
            std::ifstream stream(input, std::ios::binary);
            const std::vector<char> bytes{std::istreambuf_iterator<char>(stream), std::istreambuf_iterator<char>()};
            std::printf("%s (%zu bytes)\n", input.filename().c_str(), bytes.size());
            std::fflush(stdout);
            LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t *>(bytes.data()), bytes.size());
            ++count;
        }
    }
    std::printf("%zu inputs run\n", count);
    // An empty or missing corpus would make the test pass without testing anything.
    return count > 0 ? 0 : 1;
}
