// A small nightly job: counts the files and bytes under a folder and adds
// one line with the totals to a log file. What it cannot read (a folder of
// another user's, a file removed meanwhile) it skips and counts, and the
// line says so; the line is written all the same.
//
//   javac Nightly.java
//   java -classpath . Nightly FOLDER LOG
//
// Run through a link to lullrun named "nightly", it takes FOLDER and LOG from
// the Args_if_any line of nightly.properties beside the link.

import java.io.IOException;
import java.nio.charset.StandardCharsets;
import java.nio.file.FileVisitResult;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.Paths;
import java.nio.file.SimpleFileVisitor;
import java.nio.file.StandardOpenOption;
import java.nio.file.attribute.BasicFileAttributes;
import java.time.Instant;
import java.time.temporal.ChronoUnit;

// The job is its own visitor of the folder tree, so it compiles to one class.
public final class Nightly extends SimpleFileVisitor<Path> {
  private long files = 0;
  private long bytes = 0;
  private long skipped = 0;

  public static void main(String[] args) throws IOException {
    if (args.length != 2) {
      System.err.println("usage: Nightly FOLDER LOG");
      System.exit(2);
    }
    Path folder = Paths.get(args[0]);
    Path log = Paths.get(args[1]);

    // Symbolic links are not followed: a file is counted once, where it is.
    Nightly count = new Nightly();
    Files.walkFileTree(folder, count);

    String line = String.format("%s %s: %d files, %d bytes%s%n",
        Instant.now().truncatedTo(ChronoUnit.SECONDS), folder, count.files, count.bytes,
        count.skipped == 0 ? "" : String.format(", %d unreadable skipped", count.skipped));
    Files.write(log, line.getBytes(StandardCharsets.UTF_8),
        StandardOpenOption.CREATE, StandardOpenOption.APPEND);
  }

  @Override
  public FileVisitResult visitFile(Path path, BasicFileAttributes attributes) {
    if (attributes.isRegularFile()) {
      files++;
      bytes += attributes.size();
    }
    return FileVisitResult.CONTINUE;
  }

  @Override
  public FileVisitResult visitFileFailed(Path path, IOException error) {
    skipped++;
    return FileVisitResult.CONTINUE;
  }

  @Override
  public FileVisitResult postVisitDirectory(Path path, IOException error) {
    if (error != null) skipped++;  // a folder that could not be read to its end
    return FileVisitResult.CONTINUE;
  }
}
