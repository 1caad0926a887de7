// A Java program that keeps every core busy: it starts all its threads at
// once, prints "ready", and ends after the given number of seconds.
public final class Hog {
  private static volatile boolean stop;

  public static void main(String[] args) throws InterruptedException {
    final int threads = Integer.parseInt(args[0]);
    final long seconds = Long.parseLong(args[1]);
    final Thread[] workers = new Thread[threads];
    for (int i = 0; i < threads; i++) {
      workers[i] = new Thread(() -> {
        long state = System.nanoTime();
        while (!stop) {
          for (int k = 0; k < 16384; k++) state = state * 6364136223846793005L + 1;
        }
        if (state == 42) System.out.println("");
      });
      workers[i].start();
    }
    System.out.println("ready");
    System.out.flush();
    Thread.sleep(seconds * 1000);
    stop = true;
    for (Thread worker : workers) worker.join();
  }
}
