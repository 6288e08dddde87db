#include "tests/support/fetch_tool_recorder.h"

#include <cstdlib>
#include <filesystem>
#include <sstream>

namespace fs = std::filesystem;

namespace vt_test {

FetchToolRecorder::FetchToolRecorder() : dir_((fs::temp_directory_path() / "vt_fetch_recorder_XXXXXX").string()) {
  if (mkdtemp(dir_.data()) == nullptr) ADD_FAILURE() << "cannot create " << dir_;
  write_script(dir_ + "/wget_https",
               "rec='" + dir_ + "' out=''\n"
               "n=$(($(cat \"$rec/count\" 2>/dev/null || echo 0) + 1)); echo $n > \"$rec/count\"\n"
               "printf '%s\\0' \"$@\" > \"$rec/args.$n\"\n"
               "for a in \"$@\"; do\n"
               "  case \"$a\" in -f*) f=\"${a#-f}\" w=body;; -e*) f=\"${a#-e}\" w=header;;\n"
               "    -O*) out=\"${a#-O}\"; continue;; *) continue;; esac\n"
               "  cp \"$f\" \"$rec/$w.$n\"; stat -c %a \"$f\" | tr -d '\\n' > \"$rec/${w}_mode.$n\"\n"
               "done\n"
               "answer=\"$rec/answer.$n\"; [ -f \"$answer\" ] || answer=\"$rec/answer\"\n"
               "case \"$(cat \"$answer\")\" in \"EXIT \"*) exit \"$(cut -c6- \"$answer\")\";;\n"
               "  HANG) exec sleep 1000;; esac\n"
               "cp \"$answer\" \"$out\"\n");
  path_.emplace("PATH", dir_ + ":" + (getenv("PATH") ? getenv("PATH") : ""));
}

FetchToolRecorder::~FetchToolRecorder() {
  std::error_code ec;
  fs::remove_all(dir_, ec);
}

void FetchToolRecorder::answers(const std::vector<std::string>& answers) {
  for (size_t i = 0; i < answers.size(); ++i) write_text_file(dir_ + "/answer." + std::to_string(i + 1), answers[i]);
  if (!answers.empty()) write_text_file(dir_ + "/answer", answers.back());
}

std::vector<std::string> FetchToolRecorder::args(int run) const {
  std::vector<std::string> out;
  std::istringstream in(read("args." + std::to_string(run)));
  for (std::string word; std::getline(in, word, '\0');) out.push_back(word);
  return out;
}

std::string FetchToolRecorder::url(int run) const {
  for (const std::string& word : args(run))
    if (word.rfind("https://", 0) == 0) return word;
  return "";
}

}  // namespace vt_test
