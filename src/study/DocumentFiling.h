// Filing the objects a study holds besides images (structured reports,
// encapsulated documents, waveforms) into the study tree, under the patient,
// study and series their headers name, as document records of the series.
#pragma once

#include <string>

#include "dicom/define_types.h"

// The document type of a SOP class; false for images and for the other
// non-image objects (key object selections, presentation states, structure
// sets, ...), which are shown on the images they concern. Blanks in place of
// the dots are taken as dots.
bool DocumentTypeOfClass(const std::string& sopClassUid, TDocumentType& type);

// The record of a document whose header the reader read (referenceFile set).
// Its title and content date come from a second, bounded walk of the file:
// documents are few, and the image loads pay nothing for it.
TDocumentRecord MakeDocumentRecord(const DICOMdata& header, TDocumentType type);

// Adds a record to a series in instance order. False when the series holds
// it already (the same path, or the same SOP instance from another file).
bool AddDocument(TSeries& series, TDocumentRecord&& doc);

// Files a record under the patient, study and series of its header, making
// the nodes that are missing, by the rules that file images (Filing.h). No
// locking: the caller holds gPatientsMutex when the tree is gPatients.
bool FileDocument(TPatientArr& patients, const DICOMdata& header, TDocumentRecord&& doc);

// "report", "pdf", "cda", "document", "waveform": the type as scripts see it.
const char* DocumentTypeName(TDocumentType type);

// Documents of a tree, for counts.
int CountDocuments(const TPatientArr& patients);
