// A DV3000 on a serial line, normally a USB serial adapter: the port opened
// as a raw 8N1 line with RTS/CTS flow control at 460800 (or 230400) bit/s
// and the driver's low-latency flag, with the wait, raw read, raw write and
// request/response operations that the UDP endpoint also offers.
//
// Ownership and lifetime: the object owns the port's descriptor; closeSerial()
// and the destructor close it, openSerial() on an open port closes the old
// descriptor first. Not copyable.
//
// Thread-safety: none of its own. CDV3000_Base holds its exchange lock around
// every use, so only one thread touches the port at a time.
//
// Replies: sendRecv() drops whatever the line holds before it writes (a reply
// that came after its exchange had given up must not answer this request),
// then skips bytes up to a plausible packet header (start byte 0x61, known
// type, sane length) and reads exactly the payload that header announces.
// It does not validate the packet beyond that; CDV3000_Base does.
#pragma once

#include <chrono>
#include <string>

namespace halvane {

class CDV3000Serial {
public:
    CDV3000Serial() = default;
    ~CDV3000Serial();
    CDV3000Serial(const CDV3000Serial&) = delete;
    CDV3000Serial& operator=(const CDV3000Serial&) = delete;

    // The device path used by the next openSerial(); a null path is empty.
    void setTTY(const char* path);
    const std::string& getTTY() const { return tty; }
    // Enables the two progress messages of openSerial().
    void setDebug() { debug = true; }
    // A failed open is logged at debug level only (a probe that retries
    // until the device is plugged in).
    void setQuiet(bool on) { quiet = on; }

    // Opens and configures the device. Returns the descriptor (> 0) or a
    // negative value; after a failed configuration the device stays open
    // until closeSerial().
    int openSerial(long baud);
    // Harmless when nothing is open.
    void closeSerial();
    bool isOpen() const { return fd >= 0; }

    // True when the line becomes readable within sec s + usec µs.
    bool waitForData(int sec, int usec) const;
    // One non-blocking read; the result of the system call (0 or -1 with
    // EAGAIN when nothing is there).
    int readSerial(unsigned char* buf, int len);
    // Writes all `len` bytes, waiting for room in the line (flow control) up
    // to the reply time-out. Returns the bytes written.
    int writeSerial(const unsigned char* buf, int len);
    // Reads until `len` bytes are in or the line stays silent for the reply
    // time-out; returns the count. `buf` is cleared first.
    int readLen(unsigned char* buf, int len);
    // One exchange (see the header comment). Returns the bytes of the reply
    // packet received, counted from its start byte: the whole packet, the
    // part that came before the line fell silent, or 0 when the request
    // could not be written. A reply longer than `inLen` is cut; the rest is
    // dropped by the next exchange.
    int sendRecv(const unsigned char* out, int outLen, unsigned char* in, int inLen);

    // Reads and throws away everything the line holds now, without waiting;
    // returns the bytes dropped.
    int dropPendingInput();

    // Test seam: the longest silence tolerated inside a read (5 s).
    void setReplyTimeout(std::chrono::milliseconds timeout) { replyTimeout = timeout; }

    // Bytes of stale input dropped and of noise skipped before a packet
    // start, over the life of the object; for tests and diagnostics.
    long droppedBytes() const { return dropped; }
    long skippedBytes() const { return skipped; }

private:
    // Waits up to the reply time-out and reads at most `len` bytes; 0 when
    // the line stayed silent, failed or was hung up.
    int readSome(unsigned char* buf, int len);
    // Reads the 4-byte header of the next packet into `in`, skipping noise;
    // returns the header bytes received (4 when complete).
    int readHeader(unsigned char* in);

    std::string tty;
    bool debug = false;
    bool quiet = false;
    int fd = -1;
    std::chrono::milliseconds replyTimeout{5000};
    long dropped = 0;
    long skipped = 0;
};

} // namespace halvane
