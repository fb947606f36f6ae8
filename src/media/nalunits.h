#pragma once

#include <QByteArray>
#include <QVector>

#include <cstdint>

// Walks the NAL unit headers of H.264/HEVC packets without decoding anything.
namespace Media {

enum class NalCodec { None, H264, Hevc };

struct NalScan {
    bool idr = false;
    bool changedParameterSets = false;
};

// Knows the parameter sets of a stream's extradata (avcC, hvcC or Annex B) and tells,
// per packet, whether it is an IDR picture and whether it brings other parameter sets.
class ParameterSetScanner {
public:
    ParameterSetScanner(NalCodec codec, const QByteArray &extradata);

    // 1, 2, 3 or 4 when packets are length-prefixed; 0 for Annex B start codes.
    int nalLengthSize() const { return m_nalLengthSize; }
    const QVector<QByteArray> &parameterSets() const { return m_parameterSets; }

    // When the extradata holds no parameter sets, the first ones met in band become the
    // reference, so the scan is stateful: packets go through in decode order.
    NalScan scanPacket(const uint8_t *data, int size);
    // Whether a replacement extradata holds a parameter set the original lacks.
    bool differsFromExtradata(const uint8_t *data, int size) const;

private:
    bool known(const uint8_t *nal, int size) const;

    NalCodec m_codec;
    int m_nalLengthSize = 0;
    QVector<QByteArray> m_parameterSets;
    bool m_adoptFirstSets = false;
};

} // namespace Media
