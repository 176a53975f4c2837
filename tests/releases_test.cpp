// Release lookup: the scanners on their own, then the providers through the stand-in services.
#include "support.h"

#include <gtest/gtest.h>

using namespace setup;
using namespace testing_support;

namespace {


std::string Asset(const std::string& address) {
    return "{\"name\":\"x\",\"browser_download_url\": \"" + address + "\",\"size\":1}";
}

// An asset as GitHub's API writes it, in its field order; digest is the whole value, or null.
std::string RealAsset(const std::string& address, const std::string& digest) {
    return R"({"url":"https://api/assets/1","id":1,"name":"n","uploader":{"login":"bot","id":2,)"
           R"("type":"Bot"},"content_type":"application/zip","state":"uploaded","size":9,)"
           R"("digest":)" +
           digest + R"(,"browser_download_url":")" + address + R"("})";
}

void Publish(const std::string& repository, const std::string& body) {
    const fs::path file = standin::Release(Widen(repository));
    fs::create_directories(file.parent_path());
    WriteBytes(file, body);
}

std::wstring Message(const std::function<Download()>& lookup) {
    try {
        const Download download = lookup();
        const wchar_t* algorithm = download.digest.algorithm == Digest::kSha512   ? L" sha512 "
                                   : download.digest.algorithm == Digest::kSha256 ? L" sha256 "
                                                                                  : L"";
        return L"returned " + download.url + algorithm + Widen(download.digest.hex);
    } catch (const Failed& failed) {
        return failed.message;
    }
}

TEST(Scan, DownloadAddressesAsTheExpressionFindsThem) {
    struct Case {
        const char* name;
        std::string body;
        std::vector<std::string> addresses;
    };
    const Case cases[] = {
        {"two assets",
         Asset("https://h/a/One.zip") + "," + Asset("https://h/b/Two.zip"),
         {"https://h/a/One.zip", "https://h/b/Two.zip"}},
        {"spaces and line ends", "\"browser_download_url\" \t\r\n:\n  \"x/y.zip\"", {"x/y.zip"}},
        {"empty value skipped",
         "\"browser_download_url\":\"\",\"browser_download_url\":\"z\"",
         {"z"}},
        {"key in other case", "\"Browser_Download_Url\":\"x\"", {}},
        {"no closing quote", "\"browser_download_url\":\"never ends", {}},
        {"no colon", "\"browser_download_url\" \"x\"", {}},
        {"empty", "", {}},
        {"not JSON", "<html>rate limited</html>", {}},
        {"value kept as it stands", "\"browser_download_url\":\"a\\u0041b\"", {"a\\u0041b"}},
    };
    for (const auto& c : cases)
        EXPECT_EQ(JsonStrings(c.body, "browser_download_url"), c.addresses) << c.name;
}

TEST(Scan, AssetNamesMatchWholeAndIgnoreCase) {
    const std::string git = R"(MinGit-[0-9.]+-64-bit\.zip)";
    struct Case {
        std::string address;
        bool matches;
    };
    const Case cases[] = {
        {"https://h/d/v2.45.1/MinGit-2.45.1-64-bit.zip", true},
        {"https://h/d/v2.45.1/MinGit-2.45.1-busybox-64-bit.zip", false},
        {"https://h/d/v2.45.1/MinGit-2.45.1-64-bit.zip.sig", false},
        {"https://h/d/MINGIT-2.45.1-64-BIT.ZIP", true},
        {"MinGit-2.45.1-64-bit.zip", true},
        {"https://h/MinGit-" + std::string(100000, '1') + "-64-bit.zip", false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(AssetMatches(c.address, git), c.matches) << c.address.substr(0, 80);
}

TEST(Scan, NewestPythonByNumber) {
    struct Case {
        const char* name;
        std::string body;
        std::string version;
    };
    const Case cases[] = {
        {"numeric order", R"({"versions":["3.12.2","3.12.10","3.12.9"]})", "3.12.10"},
        {"others ignored", R"(["3.12.1","3.12.0-b1","3.13.1","3.11.99","3.12.3"])", "3.12.3"},
        {"first of equals", R"(["3.12.07","3.12.7"])", "3.12.07"},
        {"none", R"(["3.13.0","3.11.9"])", ""},
        {"empty", "", ""},
        {"long number", "[\"3.12." + std::string(50000, '9') + "\",\"3.12.1\"]",
         "3.12." + std::string(50000, '9')},
    };
    for (const auto& c : cases)
        EXPECT_EQ(NewestPython312(c.body), c.version) << c.name;
}

class Providers : public ::testing::Test {
  protected:
    Inbox inbox;
};

TEST_F(Providers, LatestAssetReadsTheLatestRelease) {
    const std::string repo = "git-for-windows/git";
    const std::string pattern = R"(MinGit-[0-9.]+-64-bit\.zip)";
    auto lookup = [&] { return LatestAsset(repo, pattern); };
    struct Case {
        const char* name;
        std::string body;
        std::wstring result;
    };
    const std::wstring noMatch = L"No download of git-for-windows/git matched what Setup expects.";
    const std::string kLower = "9f86d081884c7d659a2feaa0c55ad015a3bf4f1b2b0b822cd15d6c15b0f00a08";
    const std::string kUpper = "9F86D081884C7D659A2FEAA0C55AD015A3BF4F1B2B0B822CD15D6C15B0F00A08";
    const Case cases[] = {
        {"beside busybox and a signature",
         Asset("https://h/MinGit-2.45.1-busybox-64-bit.zip") +
             Asset("https://h/MinGit-2.45.1-64-bit.zip.sig") +
             Asset("https://h/MinGit-2.45.1-64-bit.zip"),
         L"returned https://h/MinGit-2.45.1-64-bit.zip"},
        {"first of two",
         Asset("https://h/1/MinGit-2.0-64-bit.zip") + Asset("https://h/2/MinGit-3.0-64-bit.zip"),
         L"returned https://h/1/MinGit-2.0-64-bit.zip"},
        {"its own digest",
         "[" + RealAsset("https://h/MinGit-2.45.1-64-bit.zip", "\"sha256:" + kUpper + "\"") + "]",
         L"returned https://h/MinGit-2.45.1-64-bit.zip sha256 " + Widen(kLower)},
        {"only another asset has one",
         "[" + RealAsset("https://h/Git-2.45.1-64-bit.exe", "\"sha256:" + kLower + "\"") + "," +
             RealAsset("https://h/MinGit-2.45.1-64-bit.zip", "null") + "]",
         L"returned https://h/MinGit-2.45.1-64-bit.zip"},
        {"one in the uploader only",
         R"([{"uploader":{"digest":"sha256:)" + kLower +
             R"("},"browser_download_url":"https://h/MinGit-2.45.1-64-bit.zip"}])",
         L"returned https://h/MinGit-2.45.1-64-bit.zip"},
        {"two in the object",
         R"([{"digest":"sha256:)" + kLower + R"(","digest":"sha256:)" + kUpper +
             R"(","browser_download_url":"https://h/MinGit-2.45.1-64-bit.zip"}])",
         L"returned https://h/MinGit-2.45.1-64-bit.zip"},
        {"too short",
         "[" +
             RealAsset("https://h/MinGit-2.45.1-64-bit.zip",
                       "\"sha256:" + kLower.substr(1) + "\"") +
             "]",
         L"returned https://h/MinGit-2.45.1-64-bit.zip"},
        {"another algorithm",
         "[" + RealAsset("https://h/MinGit-2.45.1-64-bit.zip", "\"sha512:" + kLower + "\"") + "]",
         L"returned https://h/MinGit-2.45.1-64-bit.zip"},
        {"cut off",
         R"([{"digest":"sha256:)" + kLower +
             R"(","browser_download_url":"https://h/MinGit-2.45.1-64-bit.zip")",
         L"returned https://h/MinGit-2.45.1-64-bit.zip"},
        {"after the address",
         R"([{"browser_download_url":"https://h/MinGit-2.45.1-64-bit.zip","digest":"sha256:)" +
             kLower + R"("}])",
         L"returned https://h/MinGit-2.45.1-64-bit.zip sha256 " + Widen(kLower)},
        {"empty body", "", noMatch},
        {"not JSON", "<html><body>Service unavailable</body></html>", noMatch},
        {"10 MB with a 1 MB value",
         std::string(9u << 20, ' ') + "\"browser_download_url\":\"" + std::string(1u << 20, 'v') +
             "\"",
         noMatch},
    };
    for (const auto& c : cases) {
        Publish(repo, c.body);
        EXPECT_EQ(Message(lookup), c.result) << c.name;
    }
    EXPECT_EQ(Message([] { return LatestAsset("nobody/nothing", "x"); }),
              L"Couldn't reach GitHub to find nobody/nothing. Check the internet connection.");
}

TEST_F(Providers, PythonComesFromNuGet) {
    const fs::path index = standin::PythonIndex();
    fs::create_directories(index.parent_path());
    fs::remove(index);
    EXPECT_EQ(Message(LatestPython),
              L"Couldn't reach NuGet for Python. Check the internet connection.");
    WriteBytes(index, R"({"versions":["3.11.9","3.13.0"]})");
    EXPECT_EQ(Message(LatestPython), L"No Python 3.12 package on NuGet.");
    WriteBytes(index, R"({"versions":["3.12.2","3.12.10","3.12.9","3.12.11-rc1","3.13.1"]})");
    const std::wstring package = L"returned " + Widen(IRONVALE_SERVICES) +
                                 L"/nuget/v3-flatcontainer/python/3.12.10/python.3.12.10.nupkg";
    // NuGet's SHA-512, from the catalog entry the registration leaf names; any doubt, no check.
    const std::string zeros(86, 'A');
    const fs::path leaf =
        standin::PythonRegistration(L"3.12.10");
    struct Case {
        const char* name;
        std::string hash;
        std::string algorithm;
        std::wstring result;
    };
    const Case cases[] = {
        {"published", zeros + "==", "SHA512", package + L" sha512 " + std::wstring(128, L'0')},
        {"another algorithm", zeros + "==", "SHA256", package},
        {"not base64", zeros + "=!", "SHA512", package},
        {"too short", zeros.substr(4) + "==", "SHA512", package},
        {"no catalog entry", "", "SHA512", package},
        {"no registration leaf", zeros + "==", "SHA512", package},
        {"a catalog entry elsewhere", zeros + "==", "SHA512", package},
    };
    for (const auto& c : cases) {
        PublishPythonHash(c.hash, c.algorithm);
        if (std::string(c.name) == "no registration leaf")
            fs::remove(leaf);
        if (std::string(c.name) == "a catalog entry elsewhere") { // whole, but not NuGet's
            fs::create_directories(standin::Root() / L"elsewhere");
            WriteBytes(standin::Root() / L"elsewhere" / L"python.json",
                       R"({"packageHash":")" + zeros + R"(==","packageHashAlgorithm":"SHA512"})");
            WriteBytes(leaf, R"({"catalogEntry":")" IRONVALE_STANDIN R"(/elsewhere/python.json"})");
        }
        EXPECT_EQ(Message(LatestPython), c.result) << c.name;
    }
}

} // namespace
