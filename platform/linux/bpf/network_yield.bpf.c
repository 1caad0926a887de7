// The job's network programs, attached to its own leaf by the wrapper (Linux,
// root): a congestion control that gives way to other traffic, a program on
// the job's TCP sockets that marks them, chooses that congestion control
// before the first segment and steers the window its downloads offer, and
// one that marks every IP socket of the job.
//
// Built by clang's BPF target; the kernel's own structures are reached
// through compile-once-run-everywhere relocations against the running
// kernel's BTF, so only the fields used are declared here.
//
// <linux/bpf.h> first: libbpf's helper declarations use its types.
// clang-format off
#include <linux/bpf.h>
#include <bpf/bpf_helpers.h>
#include <bpf/bpf_tracing.h>
// clang-format on

#define SOL_IP 0
#define SOL_TCP 6
#define SOL_IPV6 41
#define IP_TOS 1
#define IPV6_TCLASS 67
#define TCP_CONGESTION 13
#define TCP_WINDOW_CLAMP 10
#define TCPHDR_SYN 0x02
#define AF_INET 2
#define AF_INET6 10

// The settings, written by the wrapper into the object before it loads it
// (platform/linux/network_yield.cpp keeps the same layout): the congestion
// control's name (the wrapper's own, or the kernel's Vegas), the DSCP value
// shifted into the traffic-class byte, the sockets' mark, and whether to
// set the congestion control and steer the receive window at all. The name stands in for a
// placeholder the wrapper replaces in the object: every wrapper registers its own, so that one
// ending does not take the name from another's job.
struct settings {
  char cc_name[16];
  __u32 traffic_class;
  __u32 mark;
  __u32 set_cc;
  __u32 steer_window;
} settings = {"lullrun_0000000", 8 << 2, 0, 1, 1};

struct sock_common {
  unsigned short skc_family;
} __attribute__((preserve_access_index));

struct sock {
  struct sock_common __sk_common;
} __attribute__((preserve_access_index));

struct inet_connection_sock {
  __u8 icsk_ca_state;
  __u64 icsk_ca_priv[13];
} __attribute__((preserve_access_index));

struct tcp_sock {
  __u32 snd_cwnd;
  __u32 snd_ssthresh;
  __u32 snd_nxt;
  __u32 snd_una;
  __u32 rcv_nxt;
  struct {
    __u32 rtt_us;  // the receiver's round trip, smoothed, times 8
  } rcv_rtt_est;
} __attribute__((preserve_access_index));

struct ack_sample {
  __u32 pkts_acked;
  __s32 rtt_us;
  __u32 in_flight;
} __attribute__((preserve_access_index));

struct tcp_congestion_ops {
  void (*init)(struct sock* sk);
  __u32 (*ssthresh)(struct sock* sk);
  void (*cong_avoid)(struct sock* sk, __u32 ack, __u32 acked);
  void (*set_state)(struct sock* sk, __u8 new_state);
  void (*cwnd_event)(struct sock* sk, int ev);
  void (*pkts_acked)(struct sock* sk, const struct ack_sample* sample);
  __u32 (*undo_cwnd)(struct sock* sk);
  char name[16];
} __attribute__((preserve_access_index));

extern __u32 tcp_reno_ssthresh(struct sock* sk) __ksym;
extern __u32 tcp_reno_undo_cwnd(struct sock* sk) __ksym;
extern __u32 tcp_slow_start(struct tcp_sock* tp, __u32 acked) __ksym;

// What the congestion control keeps per connection, in the socket's own
// private area (13 words there; 4 used).
struct yield_state {
  __u32 base_rtt_us;   // the least round trip seen: the path with empty queues
  __u32 round_min_us;  // the least round trip of the current round
  __u32 round_end;     // the sequence number that ends the current round
  __u32 samples;       // round-trip samples in the current round
  __u32 started;       // the first round has begun
};

// Vegas's rule, in segments the connection keeps queued at the bottleneck:
// fewer than `least` and it grows, more than `most` and it shrinks; in slow
// start, more than `start_most` ends slow start. A few segments are a
// millisecond or two at home-link rates: the user's own traffic finds the
// queue almost empty, and the job still fills an otherwise idle link.
#define QUEUED_LEAST 2
#define QUEUED_MOST 4
#define QUEUED_START_MOST 1
#define LEAST_CWND 2

static struct yield_state* state_of(struct sock* sk) {
  return (struct yield_state*)((struct inet_connection_sock*)sk)->icsk_ca_priv;
}

static void new_round(struct yield_state* state, const struct tcp_sock* tp) {
  state->round_end = tp->snd_nxt;
  state->round_min_us = ~0U;
  state->samples = 0;
}

// Called when the congestion control is chosen, which for a connection the
// job makes is before its first sequence number is: the first round begins
// with the first ACK instead.
SEC("struct_ops/yield_init")
void BPF_PROG(yield_init, struct sock* sk) {
  struct yield_state* state = state_of(sk);
  state->base_rtt_us = ~0U;
  state->round_min_us = ~0U;
  state->samples = 0;
  state->started = 0;
}

SEC("struct_ops/yield_pkts_acked")
void BPF_PROG(yield_pkts_acked, struct sock* sk, const struct ack_sample* sample) {
  struct yield_state* state = state_of(sk);
  if (sample->rtt_us <= 0) return;
  __u32 rtt = (__u32)sample->rtt_us + 1;
  if (rtt < state->base_rtt_us) state->base_rtt_us = rtt;
  if (rtt < state->round_min_us) state->round_min_us = rtt;
  state->samples++;
}

// Once a round: how many of its segments wait in queues (the window times the
// share of the round trip that is queueing). Fewer than the least, and the
// window grows by one segment; more than the most, and it drops at once to
// what fits the path without a queue, plus the least: a user's transfer that
// fills the buffer finds the job down to two segments within a round trip.
static void adjust_once_a_round(struct tcp_sock* tp, const struct yield_state* state) {
  __u32 cwnd = tp->snd_cwnd;
  __u32 rtt = state->round_min_us;
  __u32 queued = (__u32)((__u64)cwnd * (rtt - state->base_rtt_us) / rtt);
  if (cwnd < tp->snd_ssthresh) {
    if (queued <= QUEUED_START_MOST) return;
    // Leave slow start at the window that filled the path without a queue.
    __u32 fitting = (__u32)((__u64)cwnd * state->base_rtt_us / rtt) + 1;
    cwnd = fitting < cwnd ? fitting : cwnd;
    tp->snd_ssthresh = cwnd > LEAST_CWND ? cwnd - 1 : LEAST_CWND;
  } else if (queued > QUEUED_MOST) {
    __u32 fitting = (__u32)((__u64)cwnd * state->base_rtt_us / rtt) + QUEUED_LEAST;
    cwnd = fitting < cwnd - 1 ? fitting : cwnd - 1;
    tp->snd_ssthresh = cwnd > LEAST_CWND ? cwnd - 1 : LEAST_CWND;
  } else if (queued < QUEUED_LEAST) {
    cwnd++;
  }
  tp->snd_cwnd = cwnd > LEAST_CWND ? cwnd : LEAST_CWND;
}

SEC("struct_ops/yield_cong_avoid")
void BPF_PROG(yield_cong_avoid, struct sock* sk, __u32 ack, __u32 acked) {
  struct tcp_sock* tp = (struct tcp_sock*)sk;
  struct yield_state* state = state_of(sk);
  if (!state->started) {
    state->started = 1;
    new_round(state, tp);
  } else if ((__s32)(ack - state->round_end) > 0) {
    // Too few samples (a round of one segment, delayed ACKs): no judgement.
    if (state->samples >= 2 && state->round_min_us != ~0U &&
        state->round_min_us >= state->base_rtt_us)
      adjust_once_a_round(tp, state);
    new_round(state, tp);
  } else if (tp->snd_cwnd < tp->snd_ssthresh) {
    tcp_slow_start(tp, acked);
  }
}

SEC("struct_ops/yield_ssthresh")
__u32 BPF_PROG(yield_ssthresh, struct sock* sk) { return tcp_reno_ssthresh(sk); }

SEC("struct_ops/yield_undo_cwnd")
__u32 BPF_PROG(yield_undo_cwnd, struct sock* sk) { return tcp_reno_undo_cwnd(sk); }

SEC(".struct_ops")
struct tcp_congestion_ops yielding = {
    .init = (void*)yield_init,
    .ssthresh = (void*)yield_ssthresh,
    .cong_avoid = (void*)yield_cong_avoid,
    .pkts_acked = (void*)yield_pkts_acked,
    .undo_cwnd = (void*)yield_undo_cwnd,
    .name = "lullrun_0000000",
};

// The receiving side gives way too: the sender is someone else's, so the job
// steers the window it offers. A LEDBAT-like rule on the receiver's own round
// trip (measured by the kernel from the timestamps the sender echoes, in the
// receiver's clock): once a window's worth of data has come, the mean
// queueing delay seen over it (that round trip less the least ever seen, at
// each segment the job sent) moves the window towards the one that keeps the
// queue at the target. The mean, not the least: a window-limited sender
// sends in bursts, and the user's packets meet the queue as it is on
// average. The kernel's own tuning of the receive buffer raises the clamp
// again, so it is set on every segment the job sends (its ACKs among them).
#define RECEIVE_TARGET_US 4000
#define RECEIVE_FIRST_SEGMENTS 16
#define RECEIVE_LEAST_SEGMENTS 2
#define RECEIVE_MOST_WINDOW (64U << 20)

struct receive_state {
  __u32 base_rtt_us;  // the least round trip seen
  __u32 epoch_end;    // the sequence number at which the window moves next
  __u32 window;       // the window offered at most, in bytes
  __u32 samples;      // queueing delays summed since the window last moved
  __u64 sum_us;       // their sum
};

struct {
  __uint(type, BPF_MAP_TYPE_SK_STORAGE);
  __uint(map_flags, BPF_F_NO_PREALLOC);
  __type(key, int);
  __type(value, struct receive_state);
} receive_states SEC(".maps");

// The window times the round trip the target allows over the one seen: the
// queue beyond the target goes within a round trip, and below it the window
// grows, by at least a segment and at most a quarter.
static __u32 moved_window(__u32 window, __u32 base_us, __u32 queued_us, __u32 mss) {
  __u64 moved = (__u64)window * (base_us + RECEIVE_TARGET_US) / (base_us + queued_us + 1);
  if (queued_us < RECEIVE_TARGET_US) {
    __u64 least = (__u64)window + mss;
    __u64 most = (__u64)window + window / 4;
    if (most < least) most = least;
    moved = moved < least ? least : moved > most ? most : moved;
  }
  if (moved < RECEIVE_LEAST_SEGMENTS * mss) moved = RECEIVE_LEAST_SEGMENTS * mss;
  return moved < RECEIVE_MOST_WINDOW ? (__u32)moved : RECEIVE_MOST_WINDOW;
}

static void steer_window(struct bpf_sock_ops* skops) {
  struct bpf_sock* sk = skops->sk;
  if (!sk || (skops->skb_tcp_flags & TCPHDR_SYN)) return;
  struct tcp_sock* tp = bpf_skc_to_tcp_sock(sk);
  if (!tp) return;
  __u32 rtt = tp->rcv_rtt_est.rtt_us >> 3;
  if (rtt == 0) return;  // nothing received yet that measures it
  struct receive_state* state =
      bpf_sk_storage_get(&receive_states, sk, 0, BPF_SK_STORAGE_GET_F_CREATE);
  if (!state) return;
  __u32 mss = skops->mss_cache > 0 ? skops->mss_cache : 1460;
  __u32 received_to = tp->rcv_nxt;
  if (state->window == 0) {
    state->window = RECEIVE_FIRST_SEGMENTS * mss;
    state->base_rtt_us = rtt;
    state->epoch_end = received_to + state->window;
  }
  if (rtt < state->base_rtt_us) state->base_rtt_us = rtt;
  state->sum_us += rtt - state->base_rtt_us;
  state->samples++;
  if ((__s32)(received_to - state->epoch_end) >= 0) {
    __u32 mean_us = (__u32)(state->sum_us / state->samples);
    state->window = moved_window(state->window, state->base_rtt_us, mean_us, mss);
    state->sum_us = 0;
    state->samples = 0;
    state->epoch_end = received_to + state->window;
  }
  int clamp = (int)state->window;
  bpf_setsockopt(skops, SOL_TCP, TCP_WINDOW_CLAMP, &clamp, sizeof clamp);
}

// The mark and the congestion control on a TCP socket of the job. Each is
// tried on its own: a socket the kernel refuses one for keeps the other.
static void mark_and_yield(struct bpf_sock_ops* skops) {
  int tclass = (int)settings.traffic_class;
  if (skops->family == AF_INET6)
    bpf_setsockopt(skops, SOL_IPV6, IPV6_TCLASS, &tclass, sizeof tclass);
  else
    bpf_setsockopt(skops, SOL_IP, IP_TOS, &tclass, sizeof tclass);
  if (settings.set_cc)
    bpf_setsockopt(skops, SOL_TCP, TCP_CONGESTION, settings.cc_name, sizeof settings.cc_name);
}

// Before the SYN of a connection the job makes, on a socket the job listens
// on (its accepted connections inherit both), and on an accepted one.
SEC("sockops")
int job_sockops(struct bpf_sock_ops* skops) {
  switch (skops->op) {
    case BPF_SOCK_OPS_TCP_CONNECT_CB:
    case BPF_SOCK_OPS_PASSIVE_ESTABLISHED_CB:
      mark_and_yield(skops);
      if (settings.steer_window)
        bpf_sock_ops_cb_flags_set(
            skops, skops->bpf_sock_ops_cb_flags | BPF_SOCK_OPS_WRITE_HDR_OPT_CB_FLAG);
      break;
    case BPF_SOCK_OPS_TCP_LISTEN_CB:
      mark_and_yield(skops);
      break;
    case BPF_SOCK_OPS_HDR_OPT_LEN_CB:
      steer_window(skops);
      break;
    default:
      break;
  }
  return 1;
}

// UDP (QUIC, among others) has no congestion control of the kernel's to
// choose and no hook before its first datagram: every IP socket of the job
// carries a mark from its creation, which a firewall's rule can turn into the
// DSCP value. A socket the job marks itself keeps its own. Every socket is
// let through, marked or not.
SEC("cgroup/sock_create")
int job_sock_create(struct bpf_sock* sk) {
  if (settings.mark != 0) sk->mark = settings.mark;
  return 1;
}

char LICENSE[] SEC("license") = "GPL";
