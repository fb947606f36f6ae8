#include "nalunits.h"

#include <cstring>

namespace Media {

namespace {

bool startsWithStartCode(const uint8_t *data, int size)
{
    return size >= 3 && data[0] == 0 && data[1] == 0
        && (data[2] == 1 || (size >= 4 && data[2] == 0 && data[3] == 1));
}

// The first byte of the next 00 00 01 at or after p, or end.
const uint8_t *findStartCode(const uint8_t *p, const uint8_t *end)
{
    while (end - p >= 3) {
        const auto *one = static_cast<const uint8_t *>(std::memchr(p + 2, 1, size_t(end - p - 2)));
        if (!one)
            return end;
        if (one[-1] == 0 && one[-2] == 0)
            return one - 2;
        p = one - 1;
    }
    return end;
}

int nalType(NalCodec codec, uint8_t header)
{
    return codec == NalCodec::H264 ? header & 0x1f : (header >> 1) & 0x3f;
}

bool isParameterSet(NalCodec codec, int type)
{
    return codec == NalCodec::H264 ? type == 7 || type == 8 : type >= 32 && type <= 34;
}

// Parameter sets precede the pictures of their access unit, so the first slice ends the walk.
bool isPicture(NalCodec codec, int type)
{
    return codec == NalCodec::H264 ? type >= 1 && type <= 5 : type <= 31;
}

bool isIdr(NalCodec codec, int type)
{
    return codec == NalCodec::H264 ? type == 5 : type == 19 || type == 20;
}

// Calls visit(nal, size) for each NAL unit until it returns false. A picture's size is not
// needed, so an Annex B walk does not search for its end.
template<typename Visit>
void forEachNal(NalCodec codec, int lengthSize, const uint8_t *data, int size, Visit visit)
{
    if (!data || size <= 0)
        return;
    if (lengthSize > 0) {
        qint64 position = 0;
        while (size - position > lengthSize) {
            qint64 length = 0;
            for (int i = 0; i < lengthSize; ++i)
                length = (length << 8) | data[position + i];
            position += lengthSize;
            if (length <= 0 || length > size - position)
                return;
            if (!visit(data + position, int(length)))
                return;
            position += length;
        }
        return;
    }
    const uint8_t *end = data + size;
    const uint8_t *start = findStartCode(data, end);
    while (start < end) {
        const uint8_t *nal = start + 3;
        if (nal >= end)
            return;
        const uint8_t *next = end;
        if (!isPicture(codec, nalType(codec, nal[0]))) {
            next = findStartCode(nal, end);
        }
        const uint8_t *nalEnd = next;
        while (nalEnd > nal && nalEnd[-1] == 0)
            --nalEnd;
        if (nalEnd > nal && !visit(nal, int(nalEnd - nal)))
            return;
        start = next;
    }
}

// avcC: version, profile, compatibility, level, length size, then SPS and PPS arrays.
void readAvcConfiguration(const uint8_t *data, int size, int *lengthSize, QVector<QByteArray> *sets)
{
    if (size < 7)
        return;
    *lengthSize = (data[4] & 3) + 1;
    int position = 5;
    for (int array = 0; array < 2 && position < size; ++array) {
        int count = array == 0 ? data[position] & 0x1f : data[position];
        ++position;
        while (count-- > 0 && size - position >= 2) {
            const int length = (data[position] << 8) | data[position + 1];
            position += 2;
            if (length > size - position)
                return;
            if (length > 0)
                sets->append(QByteArray(reinterpret_cast<const char *>(data + position), length));
            position += length;
        }
    }
}

// hvcC: 22 bytes of profile and format, the length size in byte 21, then typed NAL arrays.
void readHevcConfiguration(const uint8_t *data, int size, int *lengthSize, QVector<QByteArray> *sets)
{
    if (size < 23)
        return;
    *lengthSize = (data[21] & 3) + 1;
    int arrays = data[22];
    int position = 23;
    while (arrays-- > 0 && size - position >= 3) {
        int count = (data[position + 1] << 8) | data[position + 2];
        position += 3;
        while (count-- > 0 && size - position >= 2) {
            const int length = (data[position] << 8) | data[position + 1];
            position += 2;
            if (length > size - position)
                return;
            if (length > 0)
                sets->append(QByteArray(reinterpret_cast<const char *>(data + position), length));
            position += length;
        }
    }
}

void readExtradata(NalCodec codec, const uint8_t *data, int size, int *lengthSize, QVector<QByteArray> *sets)
{
    *lengthSize = 0;
    if (codec == NalCodec::None || !data || size <= 0)
        return;
    if (startsWithStartCode(data, size)) {
        forEachNal(codec, 0, data, size, [&](const uint8_t *nal, int length) {
            if (isParameterSet(codec, nalType(codec, nal[0])))
                sets->append(QByteArray(reinterpret_cast<const char *>(nal), length));
            return true;
        });
    } else if (codec == NalCodec::H264) {
        readAvcConfiguration(data, size, lengthSize, sets);
    } else {
        readHevcConfiguration(data, size, lengthSize, sets);
    }
}

} // namespace

ParameterSetScanner::ParameterSetScanner(NalCodec codec, const QByteArray &extradata)
    : m_codec(codec)
{
    readExtradata(codec, reinterpret_cast<const uint8_t *>(extradata.constData()), int(extradata.size()),
                  &m_nalLengthSize, &m_parameterSets);
    m_adoptFirstSets = m_parameterSets.isEmpty();
}

bool ParameterSetScanner::known(const uint8_t *nal, int size) const
{
    for (const QByteArray &set : m_parameterSets) {
        if (set.size() == size && std::memcmp(set.constData(), nal, size_t(size)) == 0)
            return true;
    }
    return false;
}

NalScan ParameterSetScanner::scanPacket(const uint8_t *data, int size)
{
    NalScan scan;
    if (m_codec == NalCodec::None)
        return scan;
    bool adopted = false;
    forEachNal(m_codec, m_nalLengthSize, data, size, [&](const uint8_t *nal, int length) {
        const int type = nalType(m_codec, nal[0]);
        if (isPicture(m_codec, type)) {
            scan.idr = isIdr(m_codec, type);
            return false;
        }
        if (isParameterSet(m_codec, type) && !known(nal, length)) {
            // Without sets in the extradata, the stream's first ones are its reference.
            if (m_adoptFirstSets) {
                m_parameterSets.append(QByteArray(reinterpret_cast<const char *>(nal), length));
                adopted = true;
            } else {
                scan.changedParameterSets = true;
            }
        }
        return true;
    });
    if (adopted)
        m_adoptFirstSets = false;
    return scan;
}

bool ParameterSetScanner::differsFromExtradata(const uint8_t *data, int size) const
{
    int lengthSize = 0;
    QVector<QByteArray> sets;
    readExtradata(m_codec, data, size, &lengthSize, &sets);
    for (const QByteArray &set : sets) {
        if (!known(reinterpret_cast<const uint8_t *>(set.constData()), int(set.size())))
            return true;
    }
    return false;
}

} // namespace Media
