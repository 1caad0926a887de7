// The demonstration's Java job: a few busy worker threads for a few seconds.
public class Workers {
  public static void main(String[] args) throws Exception {
    int seconds = args.length > 0 ? Integer.parseInt(args[0]) : 6;
    int count = Math.max(2, Runtime.getRuntime().availableProcessors());
    for (int i = 0; i < count; i++) {
      Thread worker = new Thread(() -> {
        long x = 0;
        while (true) {
          x += System.nanoTime() & 1;
          if (x == Long.MIN_VALUE) break;
        }
      }, "worker-" + i);
      worker.setDaemon(true);
      worker.start();
    }
    System.out.println("Workers: " + count + " busy threads for " + seconds + " s");
    Thread.sleep(seconds * 1000L);
  }
}
