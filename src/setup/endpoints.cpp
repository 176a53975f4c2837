// The services Setup talks to: the one place that names them. The test build compiles this file
// with the stand-ins' addresses; setup.exe as released, with these.
#include "net.h"

#ifndef IRONVALE_GITHUB_API
#define IRONVALE_GITHUB_API "https://api.github.com"
#endif
#ifndef IRONVALE_NUGET_API
#define IRONVALE_NUGET_API "https://api.nuget.org"
#endif
#ifndef IRONVALE_REPO_URL
#define IRONVALE_REPO_URL "https://github.com/ironvale-recomp/ironvale-recomp.git"
#endif
#ifndef IRONVALE_RELEASE_API
#define IRONVALE_RELEASE_API                                                                       \
    "https://api.github.com/repos/ironvale-recomp/ironvale-recomp/releases/latest"
#endif

namespace setup {

extern const char kGitHubApi[] = IRONVALE_GITHUB_API;
extern const char kNuGetApi[] = IRONVALE_NUGET_API;
extern const char kRepoUrl[] = IRONVALE_REPO_URL;
extern const char kReleaseApi[] = IRONVALE_RELEASE_API;

} // namespace setup
