# Homebrew formula for a tap (Formula/rowpatcher.rb in a homebrew-... repository).
# .ci/release fills in the source tarball's URL and SHA-256 and writes it to dist/.
class Rowpatcher < Formula
  desc "@DESC@"
  homepage "@HOMEPAGE@"
  url "@URL@"
  sha256 "@SHA256@"
  license "MIT"

  depends_on "cmake" => :build

  def install
    system "cmake", "-S", ".", "-B", "build", "-DROWPATCHER_PROGRAM_ONLY=ON", *std_cmake_args
    system "cmake", "--build", "build"
    system "cmake", "--install", "build"
  end

  test do
    (testpath/"catalogue.txt").write "Heading\n2024/04/01 0347 51.02  17.604S 178.021W      mb 4.6  Fiji Islands region\n"
    assert_equal "2024/04/01_0347 51.02 -17.604 -178.021   33 mb  4.6  Fiji Islands region\n",
                 shell_output("#{bin}/rowpatcher catalogue.txt")
    assert_equal "#{bin}/rowpatcher: cannot open input file missing.txt.  Abort.\n",
                 shell_output("#{bin}/rowpatcher missing.txt 2>&1", 1)
  end
end
