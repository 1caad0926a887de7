// A small nightly job: counts the files and bytes under a folder and adds
// one line with the totals to a log file.
//
//   javac Nightly.java
//   java -classpath . Nightly FOLDER LOG
//
// Run through a link to lullrun named "nightly", it takes FOLDER and LOG from
// the Args_if_any line of nightly.properties beside the link.

import java.io.IOException;
import java.io.UncheckedIOException;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.Paths;
import java.nio.file.StandardOpenOption;
import java.time.Instant;
import java.time.temporal.ChronoUnit;
import java.util.stream.Stream;

public final class Nightly {
  public static void main(String[] args) throws IOException {
    if (args.length != 2) {
      System.err.println("usage: Nightly FOLDER LOG");
      System.exit(2);
    }
    Path folder = Paths.get(args[0]);
    Path log = Paths.get(args[1]);

    long files = 0;
    long bytes = 0;
    try (Stream<Path> walk = Files.walk(folder)) {
      for (Path path : (Iterable<Path>) walk.filter(Files::isRegularFile)::iterator) {
        files++;
        bytes += Files.size(path);
      }
    } catch (UncheckedIOException e) {
      throw e.getCause();
    }

    String line = String.format("%s %s: %d files, %d bytes%n",
        Instant.now().truncatedTo(ChronoUnit.SECONDS), folder, files, bytes);
    Files.write(log, line.getBytes(StandardCharsets.UTF_8),
        StandardOpenOption.CREATE, StandardOpenOption.APPEND);
  }
}
